#include "support/loopbackserver.h"
#include "support/programstarter.h"
#include "support/testenvironment.h"

#include <QSettings>

// Runs the program on the real X display the suite started, each run with a home of its own
// and both servers on loopback, and looks at the windows it maps.
class TestProgram : public QObject
{
    Q_OBJECT

public:
    explicit TestProgram(TestEnvironment &) { }

private slots:
    void normalStartMapsCentredWindow();
    void trayStartMapsNoWindow();

private:
    LoopbackServer m_server;
};

void TestProgram::normalStartMapsCentredWindow()
{
    ProgramStarter starter(QStringLiteral(TARROWIN_UNDER_TEST));
    starter.setServer(m_server.url());
    const qint64 pid = starter.start({})->processId();
    // The window, beside the balloon that says the storage here has no builds.
    QTRY_COMPARE_WITH_TIMEOUT(ProgramStarter::shown(pid, ProgramStarter::MainWindow),
                              QList<QRect> { ProgramStarter::startupGeometry }, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(!ProgramStarter::shown(pid, ProgramStarter::TrayIcon).isEmpty(),
                             20000);
    // Written once the window is drawn.
    QTRY_COMPARE(QSettings(starter.settingsFile(), QSettings::IniFormat)
                     .value(QStringLiteral("StartupPosition"))
                     .toPoint(),
                 ProgramStarter::startupGeometry.topLeft());
}

void TestProgram::trayStartMapsNoWindow()
{
    ProgramStarter starter(QStringLiteral(TARROWIN_UNDER_TEST));
    starter.setServer(m_server.url());
    QProcess *tray = starter.start({ QStringLiteral("--tray") });
    // The icon in the tray host shows the program is up; the window was never shown.
    QTRY_VERIFY_WITH_TIMEOUT(
        !ProgramStarter::shown(tray->processId(), ProgramStarter::TrayIcon).isEmpty(), 20000);
    QCOMPARE(tray->state(), QProcess::Running);
    // The storage here has no builds: the balloon that says so may show, the window not.
    QVERIFY(ProgramStarter::shown(tray->processId(), ProgramStarter::MainWindow).isEmpty());

    // First start: registered to run at logon, in the tray.
    QSettings stored(starter.settingsFile(), QSettings::IniFormat);
    QCOMPARE(stored.value(QStringLiteral("RunOnStartup")).toString(), QStringLiteral("true"));
    QFile entry(starter.configHome() + QStringLiteral("/autostart/Tarrowin.desktop"));
    QVERIFY(entry.open(QIODevice::ReadOnly));
    QVERIFY(entry.readAll().contains("Exec=\"" TARROWIN_UNDER_TEST "\" /tray"));
}

TARROWIN_TEST_MAIN(TestProgram, true)
#include "tst_program.moc"

#include "support/loopbackserver.h"
#include "support/testenvironment.h"

#include <QProcess>
#include <QRegularExpression>
#include <QSettings>

#include <algorithm>

// Runs the program on the real X display the suite started, each run with a settings store
// of its own and both servers on loopback, and looks at the windows it maps.
class TestProgram : public QObject
{
    Q_OBJECT

public:
    explicit TestProgram(TestEnvironment &) { }

private slots:
    void normalStartMapsCentredWindow();
    void trayStartMapsNoWindow();

private:
    struct Run
    {
        std::unique_ptr<QProcess> process;
        std::unique_ptr<QTemporaryDir> config;
        std::unique_ptr<QTemporaryDir> runtime; // the single-instance lock lives there
    };
    Run start(const QStringList &arguments);
    static void stop(Run &run);
    struct Window
    {
        QRect geometry;
        bool embedded = false; // reparented into another client: a tray icon in the tray host
    };
    static QList<Window> visibleWindows(qint64 pid);
    static QList<QRect> topLevelWindows(qint64 pid);
    static bool hasTrayIcon(qint64 pid);
    static QString settingsFileOf(const Run &run);

    LoopbackServer m_server;
};

TestProgram::Run TestProgram::start(const QStringList &arguments)
{
    Run run;
    run.config = std::make_unique<QTemporaryDir>();
    run.runtime = std::make_unique<QTemporaryDir>();
    run.process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), run.config->path());
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), run.runtime->path());
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("TARROWIN_TEST_BUILD_STORAGE"), m_server.url().toString());
    env.insert(QStringLiteral("TARROWIN_TEST_MAKER"), m_server.url().toString());
    run.process->setProcessEnvironment(env);
    run.process->setProcessChannelMode(QProcess::ForwardedChannels);
    run.process->start(QStringLiteral(TARROWIN_UNDER_TEST), arguments);
    if (!run.process->waitForStarted())
        qWarning("could not start %s", TARROWIN_UNDER_TEST);
    return run;
}

void TestProgram::stop(Run &run)
{
    run.process->terminate();
    if (!run.process->waitForFinished(10000))
        run.process->kill();
    run.process->waitForFinished();
}

QString TestProgram::settingsFileOf(const Run &run)
{
    return run.config->filePath(QStringLiteral("Quillmarsh/Tarrowin.conf"));
}

QList<TestProgram::Window> TestProgram::visibleWindows(qint64 pid)
{
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 { QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                   QStringLiteral("--pid"), QString::number(pid) });
    search.waitForFinished();
    QList<Window> windows;
    const auto ids = QString::fromLatin1(search.readAllStandardOutput())
                         .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &id : ids) {
        QProcess geometry;
        geometry.start(QStringLiteral("xdotool"), { QStringLiteral("getwindowgeometry"), id });
        geometry.waitForFinished();
        const QString text = QString::fromLatin1(geometry.readAllStandardOutput());
        static const QRegularExpression pattern(
            QStringLiteral("Position: (-?\\d+),(-?\\d+).*Geometry: (\\d+)x(\\d+)"),
            QRegularExpression::DotMatchesEverythingOption);
        const auto match = pattern.match(text);
        if (!match.hasMatch())
            continue;
        QProcess tree;
        tree.start(QStringLiteral("xwininfo"),
                   { QStringLiteral("-tree"), QStringLiteral("-id"), id });
        tree.waitForFinished();
        const QString treeText = QString::fromLatin1(tree.readAllStandardOutput());
        static const QRegularExpression rootPattern(
            QStringLiteral("Root window id: (0x[0-9a-f]+)"));
        static const QRegularExpression parentPattern(
            QStringLiteral("Parent window id: (0x[0-9a-f]+)"));
        Window window;
        window.geometry = QRect(match.captured(1).toInt(), match.captured(2).toInt(),
                                match.captured(3).toInt(), match.captured(4).toInt());
        window.embedded
            = rootPattern.match(treeText).captured(1) != parentPattern.match(treeText).captured(1);
        windows.append(window);
    }
    return windows;
}

QList<QRect> TestProgram::topLevelWindows(qint64 pid)
{
    QList<QRect> result;
    for (const Window &window : visibleWindows(pid)) {
        if (!window.embedded)
            result.append(window.geometry);
    }
    return result;
}

bool TestProgram::hasTrayIcon(qint64 pid)
{
    const QList<Window> windows = visibleWindows(pid);
    return std::any_of(windows.begin(), windows.end(), [](const Window &w) { return w.embedded; });
}

void TestProgram::normalStartMapsCentredWindow()
{
    Run run = start({});
    // The suite's display is 1920 x 1080 with no window manager, so the work area is the
    // whole screen and the window is centred: 960 - 155, 540 - 97.
    QTRY_COMPARE_WITH_TIMEOUT(topLevelWindows(run.process->processId()),
                              QList<QRect> { QRect(805, 443, 310, 195) }, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(hasTrayIcon(run.process->processId()), 20000);
    QTRY_VERIFY(QFile::exists(settingsFileOf(run)));
    QSettings stored(settingsFileOf(run), QSettings::IniFormat);
    QCOMPARE(stored.value(QStringLiteral("StartupPosition")).toPoint(), QPoint(805, 443));
    stop(run);
}

void TestProgram::trayStartMapsNoWindow()
{
    Run tray = start({ QStringLiteral("--tray") });
    // The icon in the tray host shows the program is up; the window was never shown.
    QTRY_VERIFY_WITH_TIMEOUT(hasTrayIcon(tray.process->processId()), 20000);
    QCOMPARE(tray.process->state(), QProcess::Running);
    QVERIFY(topLevelWindows(tray.process->processId()).isEmpty());

    // First start: registered to run at logon, in the tray.
    QSettings stored(settingsFileOf(tray), QSettings::IniFormat);
    QCOMPARE(stored.value(QStringLiteral("RunOnStartup")).toString(), QStringLiteral("true"));
    QFile entry(tray.config->filePath(QStringLiteral("autostart/Tarrowin.desktop")));
    QVERIFY(entry.open(QIODevice::ReadOnly));
    QVERIFY(entry.readAll().contains("Exec=\"" TARROWIN_UNDER_TEST "\" /tray"));
    stop(tray);
}

TARROWIN_TEST_MAIN(TestProgram, true)
#include "tst_program.moc"

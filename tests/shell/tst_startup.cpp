#include "shell/commandline.h"
#include "shell/qmlapplicationviewer.h"
#include "support/testenvironment.h"

#include <QQuickItem>
#include <QScreen>
#include <QSettings>
#include <QTimer>

class TestStartup : public QObject
{
    Q_OBJECT

public:
    explicit TestStartup(TestEnvironment &) { }

private slots:
    void init();

    void trayOption_data();
    void trayOption();

    void normalStartShowsWindow();
    void trayStartShowsNothingUntilRestored();
    void closingTheWindowKeepsRunning();
};

void TestStartup::init()
{
    QSettings().clear();
}

void TestStartup::trayOption_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("tray");

    const QString program = QStringLiteral("/usr/bin/tarrowin");
    QTest::newRow("no arguments") << QStringList { program } << false;
    QTest::newRow("/tray") << QStringList { program, "/tray" } << true;
    QTest::newRow("--tray") << QStringList { program, "--tray" } << true;
    QTest::newRow("-t") << QStringList { program, "-t" } << true;
    QTest::newRow("among others, last") << QStringList { program, "--foo", "x", "-t" } << true;
    QTest::newRow("among others, first") << QStringList { program, "/tray", "--foo" } << true;
    QTest::newRow("repeated") << QStringList { program, "--tray", "--tray", "/tray" } << true;
    QTest::newRow("upper case /TRAY") << QStringList { program, "/TRAY" } << false;
    QTest::newRow("mixed case --Tray") << QStringList { program, "--Tray" } << false;
    QTest::newRow("upper case -T") << QStringList { program, "-T" } << false;
    QTest::newRow("value after equals") << QStringList { program, "--tray=1" } << false;
    QTest::newRow("value after colon") << QStringList { program, "/tray:yes" } << false;
    QTest::newRow("slash missing") << QStringList { program, "tray" } << false;
    QTest::newRow("one hyphen short") << QStringList { program, "-tray" } << false;
    QTest::newRow("blank added") << QStringList { program, " /tray" } << false;
    QTest::newRow("program path is searched too") << QStringList { "-t" } << true;
    QTest::newRow("run-at-logon command line")
        << QStringList { "/home/me/My Programs/tarrowin", "/tray" } << true;
}

void TestStartup::trayOption()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, tray);
    QCOMPARE(CommandLine::isTrayStart(arguments), tray);
}

void TestStartup::normalStartShowsWindow()
{
    auto viewer = Startup::createMainWindow({ QStringLiteral("tarrowin") });
    QVERIFY(viewer->isVisible());
    QCOMPARE(viewer->size(), QSize(310, 195));
    QVERIFY(QGuiApplication::primaryScreen()->availableGeometry().contains(viewer->geometry()));
    QTRY_COMPARE(QSettings().value(QStringLiteral("StartupPosition")).toPoint(),
                 viewer->position());
}

void TestStartup::trayStartShowsNothingUntilRestored()
{
    auto viewer
        = Startup::createMainWindow({ QStringLiteral("tarrowin"), QStringLiteral("--tray") });
    QVERIFY(!viewer->isVisible());
    // The view is loaded in full all the same.
    QVERIFY(viewer->rootObject());

    QVERIFY(QMetaObject::invokeMethod(viewer->rootObject(), "openWindow"));
    QVERIFY(viewer->isVisible());
}

void TestStartup::closingTheWindowKeepsRunning()
{
    auto viewer = Startup::createMainWindow({ QStringLiteral("tarrowin") });
    QVERIFY(QTest::qWaitForWindowExposed(viewer.get()));

    // Closing the last window asks the application to quit through the window system's
    // event queue, a few loop iterations after lastWindowClosed. The loop gets a generous
    // window to do so before the test ends it with its own code.
    bool stillRunning = false;
    connect(qApp, &QGuiApplication::lastWindowClosed, viewer.get(), [&] {
        QTimer::singleShot(200, viewer.get(), [&] {
            stillRunning = true;
            QCoreApplication::exit(42);
        });
    });
    QTimer::singleShot(0, viewer.get(), [&] { viewer->close(); });
    QTimer::singleShot(10000, viewer.get(), [] { QCoreApplication::exit(1); });
    const int result = QCoreApplication::exec();
    QVERIFY(stillRunning);
    QCOMPARE(result, 42);
    QVERIFY(!viewer->isVisible());
}

TARROWIN_TEST_MAIN(TestStartup, false)
#include "tst_startup.moc"

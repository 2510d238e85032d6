#include "shell/bisectactions.h"
#include "shell/commandline.h"
#include "shell/qmlapplicationviewer.h"
#include "shell/windowhost.h"
#include "shell/windowplacement.h"
#include "support/testenvironment.h"
#include "support/viewprobe.h"

#include <QQuickItem>
#include <QQuickWindow>
#include <QScreen>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTimer>

#include <algorithm>

class TestStartup : public QObject
{
    Q_OBJECT

public:
    explicit TestStartup(TestEnvironment &) { }

private slots:
    void init();

    void trayOption_data();
    void trayOption();
    void countedTextsInEnglish_data();
    void countedTextsInEnglish();
    void request_data();
    void request();

    void normalStartShowsWindow();
    void trayStartShowsNothingUntilRestored();
    void closingTheWindowKeepsRunning();
    void trayIconClicks_data();
    void trayIconClicks();
    void firstRestoreAfterTrayStartIsPlaced_data();
    void firstRestoreAfterTrayStartIsPlaced();
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

// English's plural forms, compiled in and loaded with the application's identity.
void TestStartup::countedTextsInEnglish_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("said");
    QTest::newRow("one step") << 1 << "Testing build 7: at most 1 step left";
    QTest::newRow("two steps") << 2 << "Testing build 7: at most 2 steps left";
    QTest::newRow("no step") << 0 << "Testing build 7: at most 0 steps left";
}

void TestStartup::countedTextsInEnglish()
{
    QFETCH(int, count);
    QFETCH(QString, said);
    QCOMPARE(BisectActions::tr("Testing build %1: at most %n steps left", nullptr, count).arg(7),
             said);
}

void TestStartup::request_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<CommandLine::Request>("request");

    using R = CommandLine::Request;
    const QString program = QStringLiteral("/usr/bin/tarrowin");
    QTest::newRow("no arguments") << QStringList { program } << R::Run;
    QTest::newRow("--help") << QStringList { program, "--help" } << R::Help;
    QTest::newRow("-h") << QStringList { program, "-h" } << R::Help;
    QTest::newRow("-?") << QStringList { program, "-?" } << R::Help;
    QTest::newRow("--version") << QStringList { program, "--version" } << R::Version;
    QTest::newRow("-v") << QStringList { program, "-v" } << R::Version;
    QTest::newRow("help after the tray options")
        << QStringList { program, "/tray", "-t", "--tray", "--help" } << R::Help;
    QTest::newRow("unknown options around version")
        << QStringList { program, "--foo", "-x", "--version", "bar" } << R::Version;
    QTest::newRow("Qt's own options before help")
        << QStringList { program, "-platform", "xcb", "--help" } << R::Help;
    QTest::newRow("tray starts run") << QStringList { program, "/tray" } << R::Run;
    QTest::newRow("-tray is one word, not -t -r -a -y")
        << QStringList { program, "-tray" } << R::Run;
    QTest::newRow("unknown options only run") << QStringList { program, "--foo", "-z" } << R::Run;
    QTest::newRow("help as a value after the end of options")
        << QStringList { program, "--", "--help" } << R::Run;
    QTest::newRow("upper case -H") << QStringList { program, "-H" } << R::Run;
}

void TestStartup::request()
{
    QFETCH(QStringList, arguments);
    QFETCH(CommandLine::Request, request);
    QCOMPARE(CommandLine::request(arguments), request);
}

void TestStartup::normalStartShowsWindow()
{
    auto host = Startup::createMainWindow({ QStringLiteral("tarrowin") });
    QVERIFY(host->isVisible());
    const QmlApplicationViewer *viewer = host->window();
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
    // The program's objects are made all the same, the window's tabs and controls are not.
    QVERIFY(viewer->rootObject());
    QVERIFY(viewer->rootObject()->findChild<QSystemTrayIcon *>());
    const auto content
        = [&] { return viewer->rootObject()->property("content").value<QObject *>(); };
    QVERIFY(!content());
    // Nor is the window, nor any other scene.
    const QWindowList windows = QGuiApplication::allWindows();
    QVERIFY(std::none_of(windows.begin(), windows.end(),
                         [](QWindow *window) { return qobject_cast<QQuickWindow *>(window); }));

    QVERIFY(QMetaObject::invokeMethod(viewer->rootObject(), "openWindow"));
    QVERIFY(viewer->isVisible());
    QVERIFY(content());
}

void TestStartup::closingTheWindowKeepsRunning()
{
    auto viewer = Startup::createMainWindow({ QStringLiteral("tarrowin") });
    QVERIFY(QTest::qWaitForWindowExposed(viewer->window()));

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
    QTimer::singleShot(0, viewer.get(), [&] { viewer->window()->close(); });
    QTimer::singleShot(10000, viewer.get(), [] { QCoreApplication::exit(1); });
    const int result = QCoreApplication::exec();
    QVERIFY(stillRunning);
    QCOMPARE(result, 42);
    QVERIFY(!viewer->isVisible());
}

void TestStartup::trayIconClicks_data()
{
    QTest::addColumn<bool>("shownBefore");
    QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
    QTest::addColumn<bool>("shownAfter");

    QTest::newRow("click opens") << false << QSystemTrayIcon::Trigger << true;
    QTest::newRow("click hides") << true << QSystemTrayIcon::Trigger << false;
    QTest::newRow("double click opens") << false << QSystemTrayIcon::DoubleClick << true;
    QTest::newRow("double click keeps it open") << true << QSystemTrayIcon::DoubleClick << true;
}

void TestStartup::trayIconClicks()
{
    QFETCH(bool, shownBefore);
    QFETCH(QSystemTrayIcon::ActivationReason, reason);
    QFETCH(bool, shownAfter);

    auto viewer = Startup::createMainWindow({ QStringLiteral("tarrowin"), QStringLiteral("-t") });
    const ViewProbe view(viewer.get());
    if (shownBefore)
        view(QStringLiteral("openWindow()"));
    QCOMPARE(viewer->isVisible(), shownBefore);
    view(QStringLiteral("tabFrame.current = 1"));

    auto *icon = viewer->rootObject()->findChild<QSystemTrayIcon *>();
    QVERIFY(icon);
    emit icon->activated(reason);
    QCOMPARE(viewer->isVisible(), shownAfter);
    if (shownAfter && !shownBefore)
        QCOMPARE(view(QStringLiteral("tabFrame.current")).toInt(), 0);
}

void TestStartup::firstRestoreAfterTrayStartIsPlaced_data()
{
    QTest::addColumn<QVariant>("saved");

    QTest::newRow("saved position") << QVariant(QPoint(40, 60));
    QTest::newRow("saved beyond the screen, pulled in") << QVariant(QPoint(5000, 4000));
    QTest::newRow("nothing saved: centred") << QVariant();
}

void TestStartup::firstRestoreAfterTrayStartIsPlaced()
{
    QFETCH(QVariant, saved);
    if (saved.isValid())
        QSettings().setValue(QStringLiteral("StartupPosition"), saved);
    const QScreen *screen = QGuiApplication::primaryScreen();
    const QPoint expected = WindowPlacement::startupPosition(
        saved.isValid() ? std::optional<QPoint>(saved.toPoint()) : std::nullopt, QSize(310, 195),
        screen->virtualGeometry().size(), screen->availableGeometry());

    auto viewer
        = Startup::createMainWindow({ QStringLiteral("tarrowin"), QStringLiteral("/tray") });
    QVERIFY(!viewer->isVisible());
    QVERIFY(QMetaObject::invokeMethod(viewer->rootObject(), "openWindow"));
    QVERIFY(viewer->isVisible());
    QCOMPARE(viewer->window()->position(), expected);

    // Later restores leave the window where the user put it.
    viewer->window()->setPosition(QPoint(70, 80));
    viewer->window()->hide();
    QVERIFY(QMetaObject::invokeMethod(viewer->rootObject(), "openWindow"));
    QCOMPARE(viewer->window()->position(), QPoint(70, 80));
}

TARROWIN_TEST_MAIN(TestStartup, false)
#include "tst_startup.moc"

#include "common/endpoints.h"
#include "shell/qmlapplicationviewer.h"
#include "shell/windowhost.h"
#include "support/balloonrecorder.h"
#include "support/fakeinstaller.h"
#include "support/loopbackserver.h"
#include "support/testenvironment.h"
#include "support/viewprobe.h"
#include "update/updatenotifier.h"

#include <QDir>
#include <QMenu>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QQmlEngine>
#include <QQuickItem>
#include <QRegularExpression>
#include <QSettings>
#include <QSystemTrayIcon>
#include <QTimer>

namespace {
const int build = 123456;
const QString lastChange = QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE");
const QString installer
    = QStringLiteral("/chromium-browser-snapshots/Win_x64/123456/mini_installer.exe");
const QString versionFile = QStringLiteral("/tarrowin/latest_version");
const QString listing = QStringLiteral("/storage/v1/b/chromium-browser-snapshots/o");
} // namespace

// The whole program in this process: the real view from the resources with its real
// elements, on a real display with a tray host, talking to a loopback server and running
// a fake installer.
class TestUpdateLoop : public QObject
{
    Q_OBJECT

public:
    explicit TestUpdateLoop(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void init();
    void cleanup();

    void firstStartInstallsTheLatestBuild();
    void failedInstallationRecordsNothing();
    void unpublishedBuildGivesWayToTheNewestPublished_data();
    void unpublishedBuildGivesWayToTheNewestPublished();
    void notificationsOffSilenceStatusButNotTheUpdateNotice();
    void latestNotNewerRequestsNothing_data();
    void latestNotNewerRequestsNothing();
    void trayMenuAndDoubleClick();
    void exitEndsTheEventLoop();
    void intervalChangesApplyAtOnce();

private:
    // Starts the program in the tray; the first check is answered once its icon is in the
    // tray, so every balloon has an icon to point at.
    void start();
    QSystemTrayIcon *trayIcon() const;
    QAction *menuEntry(const QString &label) const;
    bool temporaryDirectoryIsEmpty() const;
    qsizetype listings() const { return m_server->requests().filter(listing + '?').size(); }

    TestEnvironment &m_environment;
    std::unique_ptr<LoopbackServer> m_server;
    std::unique_ptr<WindowHost> m_viewer;
    std::unique_ptr<ViewProbe> m_view;
    std::unique_ptr<BalloonRecorder> m_balloons;
    QStringList m_sharedRequests; // paths that went through the engine's manager
    QString m_record;
};

void TestUpdateLoop::init()
{
    QSettings().clear();
    m_record = FakeInstaller::prepare(m_environment.root());
    QDir(m_environment.tempDir()).removeRecursively();
    QDir().mkpath(m_environment.tempDir());

    m_server = std::make_unique<LoopbackServer>();
    Endpoints::setBuildStorage(m_server->url());
    Endpoints::setMaker(m_server->url());
    LoopbackServer::Response held;
    held.body = QByteArray::number(build);
    held.held = true;
    m_server->setResponse(lastChange, held);
    m_server->serve(installer, FakeInstaller::exitingWith(0));
    m_server->serve(versionFile, "0.1.2");
    m_balloons = std::make_unique<BalloonRecorder>();
}

void TestUpdateLoop::cleanup()
{
    m_view.reset();
    m_viewer.reset();
    m_balloons.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TestUpdateLoop::start()
{
    m_viewer = Startup::createMainWindow({ QStringLiteral("tarrowin"), QStringLiteral("--tray") });
    m_view = std::make_unique<ViewProbe>(m_viewer.get());
    m_sharedRequests.clear();
    connect(m_viewer->engine()->networkAccessManager(), &QNetworkAccessManager::finished, this,
            [this](QNetworkReply *reply) { m_sharedRequests << reply->url().path(); });
    QTRY_VERIFY_WITH_TIMEOUT(trayIcon()->geometry().isValid(), 10000);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requestCount(versionFile), 1, 10000);
    m_server->release(lastChange);
}

QSystemTrayIcon *TestUpdateLoop::trayIcon() const
{
    return m_view->object(QStringLiteral("systemTrayIcon"))->findChild<QSystemTrayIcon *>();
}

QAction *TestUpdateLoop::menuEntry(const QString &label) const
{
    for (QAction *action : trayIcon()->contextMenu()->actions()) {
        if (action->text() == label)
            return action;
    }
    return nullptr;
}

bool TestUpdateLoop::temporaryDirectoryIsEmpty() const
{
    return QDir(m_environment.tempDir())
        .isEmpty(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden);
}

void TestUpdateLoop::firstStartInstallsTheLatestBuild()
{
    start();
    QTRY_COMPARE_WITH_TIMEOUT(QSettings().value(QStringLiteral("CurrentBuild")).toInt(), build,
                              20000);
    QTRY_COMPARE((*m_view)("chromeDownloader.status").toInt(), 0);

    QCOMPARE((*m_view)("systemTrayIcon.toolTip").toString(),
             QStringLiteral("Tarrowin (Chromium build 123456)"));
    QCOMPARE(trayIcon()->toolTip(), QStringLiteral("Tarrowin (Chromium build 123456)"));
    QTRY_COMPARE(m_balloons->balloons().size(), 3);
    QTRY_VERIFY(m_balloons->balloons().last().timeout != -1);
    const auto balloons = m_balloons->balloons();
    QCOMPARE(balloons[0].texts,
             (QStringList { "Downloading ...", "Downloading Chromium build 123456." }));
    QCOMPARE(balloons[1].texts,
             (QStringList { "Installing ...", "Installing Chromium build 123456." }));
    QCOMPARE(balloons[2].texts,
             (QStringList { "Chromium build 123456 is installed",
                            "Chromium build 123456 is installed." }));
    for (const auto &balloon : balloons) {
        QVERIFY(balloon.hasIcon);
        QCOMPARE(balloon.timeout, 5000);
    }
    QCOMPARE(FakeInstaller::runs(m_record).size(), 1);
    QVERIFY(temporaryDirectoryIsEmpty());
    // One manager for every element: one network thread, and the download may reuse the
    // connection the check just opened.
    m_sharedRequests.sort();
    QCOMPARE(m_sharedRequests, (QStringList { installer, lastChange, versionFile }));
    // The status tab, made only now, shows what happened while there was none.
    (*m_view)("openWindow()");
    QCOMPARE((*m_view)("currentVersionText.text").toString(),
             QStringLiteral("<b>Current version:</b> 123456"));
}

void TestUpdateLoop::failedInstallationRecordsNothing()
{
    m_server->serve(installer, FakeInstaller::exitingWith(1));
    start();
    QTRY_COMPARE_WITH_TIMEOUT(FakeInstaller::runs(m_record).size(), 1, 20000);
    QTRY_COMPARE((*m_view)("chromeDownloader.status").toInt(), 0);
    QTRY_VERIFY(temporaryDirectoryIsEmpty());
    QVERIFY(!QSettings().contains(QStringLiteral("CurrentBuild")));
    QCOMPARE((*m_view)("chromeDownloader.currentBuild").toInt(), -1);
    // The failure is said once, as a warning with its cause.
    QTRY_COMPARE(m_balloons->titles(),
                 (QStringList { "Downloading ...", "Installing ...",
                                "Chromium build 123456 was not installed" }));
    QVERIFY(m_balloons->balloons()
                .last()
                .texts.join(QLatin1Char(' '))
                .contains(QStringLiteral("exit code 1")));
}

void TestUpdateLoop::unpublishedBuildGivesWayToTheNewestPublished_data()
{
    QTest::addColumn<int>("named");
    QTest::addColumn<bool>("missing"); // the build the listing names answers 404 too
    QTest::newRow("the next build") << build + 4 << false;
    // A storage or mirror naming the last possible build must not hold the updates off.
    QTest::newRow("the furthest build") << std::numeric_limits<int>::max() << false;
    // Neither the listing nor a build below the one it named is asked for in the same check.
    QTest::newRow("the published build is missing too") << build + 4 << true;
}

void TestUpdateLoop::unpublishedBuildGivesWayToTheNewestPublished()
{
    // LAST_CHANGE names a build whose installer answers 404; the listing has older ones.
    QFETCH(int, named);
    QFETCH(bool, missing);
    LoopbackServer::Response held;
    held.body = QByteArray::number(named);
    held.held = true;
    m_server->setResponse(lastChange, held);
    m_server->serveListing({ "Win_x64/123455/mini_installer.exe",
                             "Win_x64/123456/mini_installer.exe",
                             "Win_x64/123459/chrome-win.zip" });
    if (missing)
        m_server->forget(installer);
    start();
    // The check is answered once the event loop runs again.
    QStringList lines;
    auto *notifier = qobject_cast<UpdateNotifier *>(m_view->object("updateNotifier"));
    QVERIFY(notifier);
    connect(notifier, &UpdateNotifier::statusLineChanged, this,
            [&] { lines << notifier->statusLine(); });
    QTRY_COMPARE_WITH_TIMEOUT(listings(), 1, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(m_server->requestCount(installer), 1, 20000);
    QTRY_COMPARE((*m_view)("chromeDownloader.status").toInt(), 0);
    QCOMPARE(QSettings().value(QStringLiteral("CurrentBuild")).toInt(), missing ? 0 : build);
    // The named build's installer and the listed one's: one check, two archive requests.
    QCOMPARE(
        m_server->requests().filter(QRegularExpression("^/chrom.*/mini_installer.exe$")).size(), 2);
    if (named == build + 4 && !missing) {
        QVERIFY(lines.contains("Build 123460 is not published yet; installing build 123456"));
        // No warning: a build not published yet is no failure.
        QTRY_COMPARE(m_balloons->titles().last(),
                     QStringLiteral("Chromium build 123456 is installed"));
    }
    QVERIFY(!QSettings().contains(QStringLiteral("FailedBuild")));
    QVERIFY(!m_balloons->titles().contains(
        QStringLiteral("Chromium build %1 was not installed").arg(named)));
    // Only the build whose archive answered is said to be downloading (123456), and once.
    QTRY_COMPARE(m_balloons->titles().count("Downloading ..."), missing ? 0 : 1);

    // A sane build number afterwards is fetched at once, without asking the listing.
    m_server->serve(lastChange, QByteArray::number(build + 1));
    m_server->serve(QString(installer).replace("123456", "123457"), FakeInstaller::exitingWith(0));
    (*m_view)("versionChecker.checkLatestBuild()");
    QTRY_COMPARE_WITH_TIMEOUT(QSettings().value(QStringLiteral("CurrentBuild")).toInt(), build + 1,
                              20000);
    QCOMPARE(listings(), 1);
}

void TestUpdateLoop::notificationsOffSilenceStatusButNotTheUpdateNotice()
{
    QSettings().setValue(QStringLiteral("ShowNotifications"), false);
    m_server->serve(versionFile, "0.1.3");
    start();
    QTRY_COMPARE_WITH_TIMEOUT(QSettings().value(QStringLiteral("CurrentBuild")).toInt(), build,
                              20000);
    QTRY_COMPARE((*m_view)("chromeDownloader.status").toInt(), 0);
    QCOMPARE(m_balloons->titles(), QStringList { "Update available" });

    // A click on the notice opens the Settings tab, where the update frame is.
    emit trayIcon()->messageClicked();
    QVERIFY(m_viewer->isVisible());
    QCOMPARE((*m_view)("tabFrame.current").toInt(), 1);
    QVERIFY((*m_view)("updateFrame.visible").toBool());
}

void TestUpdateLoop::latestNotNewerRequestsNothing_data()
{
    QTest::addColumn<int>("current");
    QTest::newRow("equal") << build;
    QTest::newRow("installed is newer") << build + 1;
}

void TestUpdateLoop::latestNotNewerRequestsNothing()
{
    QFETCH(int, current);
    QSettings().setValue(QStringLiteral("CurrentBuild"), current);
    start();
    QTRY_COMPARE_WITH_TIMEOUT((*m_view)("versionChecker.latestBuild").toInt(), build, 20000);
    QVERIFY(!(*m_view)("versionChecker.checking").toBool());
    // The rule runs as the check reports: a download would have begun by now.
    QCOMPARE((*m_view)("chromeDownloader.status").toInt(), 0);
    QCOMPARE(m_server->requestCount(installer), 0);
    QVERIFY(m_balloons->titles().isEmpty());
}

void TestUpdateLoop::trayMenuAndDoubleClick()
{
    start();
    QAction *open = menuEntry(QStringLiteral("&Open"));
    QAction *settings = menuEntry(QStringLiteral("&Settings"));
    QVERIFY(open && settings && menuEntry(QStringLiteral("&Exit")));
    QCOMPARE(trayIcon()->contextMenu()->defaultAction(), open);
    QVERIFY(!m_viewer->isVisible());

    settings->trigger();
    QVERIFY(m_viewer->isVisible());
    QCOMPARE((*m_view)("tabFrame.current").toInt(), 1);

    m_viewer->window()->close();
    QVERIFY(!m_viewer->isVisible());
    open->trigger();
    QVERIFY(m_viewer->isVisible());
    QCOMPARE((*m_view)("tabFrame.current").toInt(), 0);

    m_viewer->window()->close();
    (*m_view)("tabFrame.current = 1");
    emit trayIcon()->activated(QSystemTrayIcon::DoubleClick);
    QVERIFY(m_viewer->isVisible());
    QCOMPARE((*m_view)("tabFrame.current").toInt(), 0);

    // A click on a status balloon opens the status tab.
    (*m_view)("tabFrame.current = 1");
    QTRY_VERIFY_WITH_TIMEOUT(!m_balloons->titles().isEmpty(), 20000);
    emit trayIcon()->messageClicked();
    QCOMPARE((*m_view)("tabFrame.current").toInt(), 0);
}

void TestUpdateLoop::exitEndsTheEventLoop()
{
    start();
    QAction *exit = menuEntry(QStringLiteral("&Exit"));
    QVERIFY(exit);
    QTimer::singleShot(0, exit, &QAction::trigger);
    QTimer::singleShot(10000, m_viewer.get(), [] { QCoreApplication::exit(1); });
    QCOMPARE(QCoreApplication::exec(), 0);
}

void TestUpdateLoop::intervalChangesApplyAtOnce()
{
    start();
    const ViewProbe &view = *m_view;
    // Changed where a person changes it: on the settings tab.
    view("openSettings()");
    view("updateIntervalSetting.value = 2");
    view("updateFactorSetting.selectedIndex = 1");
    QCOMPARE(view("updateLoop.checkPeriod").toInt(), 7200000);
    QCOMPARE(view("updateFactorSetting.selectedText").toString(), QStringLiteral("hours"));
    QCOMPARE(QSettings().value(QStringLiteral("UpdateCheckInterval")).toInt(), 2);
    QCOMPARE(QSettings().value(QStringLiteral("UpdateCheckFactor")).toInt(), 1);
    QVERIFY(m_view->object("updateLoop")->findChild<QTimer *>()->isActive());
}

TARROWIN_TEST_MAIN(TestUpdateLoop, true)
#include "tst_updateloop.moc"

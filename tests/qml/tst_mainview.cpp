#include "browser/browserlauncher.h"
#include "browser/singletonlock.h"
#include "browser/steplauncher.h"
#include "builds/buildseries.h"
#include "common/endpoints.h"
#include "install/installroot.h"
#include "shell/qmlapplicationviewer.h"
#include "shell/windowhost.h"
#include "support/bisectseries.h"
#include "support/fakeinstaller.h"
#include "support/fakenetworkmanager.h"
#include "support/loopbackserver.h"
#include "support/plantedbuilds.h"
#include "support/privatebus.h"
#include "support/testenvironment.h"
#include "support/viewprobe.h"
#include "tray/runatlogon.h"

#include <QProcess>
#include <QQmlEngine>
#include <QQuickItem>
#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QThread>
#include <QTimer>

#include <csignal>

// The main view loaded as the program loads it, with its real elements, looked at from
// inside its own scope.
class TestMainView : public QObject
{
    Q_OBJECT

public:
    explicit TestMainView(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void calculateFileSize_data();
    void calculateFileSize();
    void percentage_data();
    void percentage();
    void statusText_data();
    void statusText();
    void versionTexts();
    void emptyStoreLoadsDefaultsAndWritesOnlyTheRegistration();
    void storedSettingsAreShown();
    void period_data();
    void period();
    void systemValuesAreShownUnwritten_data();
    void systemValuesAreShownUnwritten();
    void tabSwitchesBeforeRestore_data();
    void tabSwitchesBeforeRestore();
    void makerPagesComeFromTheProgram();
    void failingBuildIsRetriedWithBackOffOverADay();
    void failureShowsInTheStatusLine();
    void failureTextIsNeverMarkup();
    void failedCheckSaysWhyOncePerOutage_data();
    void failedCheckSaysWhyOncePerOutage();
    void noSeriesForThisPlatform();
    void goBackEntryFollowsThePreviousBuild();
    void buildsTabListsPinsAndRefusesRemovals();
    void buildsTabStartsAnOlderBuildOnceAsked();
    void bisectFromTheWindowGoesOnAfterARestart();
    void sandboxEntryWhileTheRestrictionHolds();
    void exitWaitsForAnInstallation();
    void lostNoticeStaysUntilTheWindowWasOpen();
    void meteredConnectionHoldsTheDownload_data();
    void meteredConnectionHoldsTheDownload();
    void meteredConnectionPausesARunningDownload();

private:
    // A tray start; with content, the window's controls are made as its first show makes
    // them, the window itself staying hidden.
    void load(bool content = true);
    // The loop's clock: the checks it starts.
    QTimer *checkTimer() const;

    TestEnvironment &m_environment;
    // The system bus, where the view looks for NetworkManager.
    std::unique_ptr<PrivateBus> m_bus;
    std::unique_ptr<LoopbackServer> m_server;
    std::unique_ptr<WindowHost> m_viewer;
    std::unique_ptr<ViewProbe> m_view;
};

void TestMainView::initTestCase()
{
    m_bus = std::make_unique<PrivateBus>(m_environment.tempDir());
    qputenv("DBUS_SYSTEM_BUS_ADDRESS", m_bus->address().toLocal8Bit());
}

void TestMainView::init()
{
    QSettings().clear();
    QFile::remove(RunAtLogon::autostartFile());
    m_server = std::make_unique<LoopbackServer>();
    Endpoints::setBuildStorage(m_server->url());
    Endpoints::setMaker(m_server->url());
}

void TestMainView::cleanup()
{
    m_view.reset();
    m_viewer.reset();
    BuildSeries::setNative(TestEnvironment::installerSeries());
    QDir(InstallRoot::defaultPath()).removeRecursively();
}

void TestMainView::load(bool content)
{
    m_viewer = Startup::createMainWindow({ QStringLiteral("tarrowin"), QStringLiteral("/tray") });
    QVERIFY(m_viewer->rootObject());
    m_view = std::make_unique<ViewProbe>(m_viewer.get());
    // As a window shown once keeps its contents a while hidden.
    if (content) {
        m_viewer->makeWindow();
        QVERIFY(m_viewer->rootObject()->setProperty("contentWanted", true));
    }
}

QTimer *TestMainView::checkTimer() const
{
    return m_view->object(QStringLiteral("updateLoop"))->findChild<QTimer *>();
}

void TestMainView::calculateFileSize_data()
{
    QTest::addColumn<double>("size");
    QTest::addColumn<QString>("text");
    QTest::newRow("zero") << 0.0 << "0 MB";
    QTest::newRow("unknown total") << -1.0 << "0 MB";
    QTest::newRow("one byte") << 1.0 << "0 MB";
    QTest::newRow("two decimals") << 38123456.0 << "38.12 MB";
    QTest::newRow("no trailing zeros") << 40000000.0 << "40 MB";
    QTest::newRow("one decimal") << 2500000.0 << "2.5 MB";
    QTest::newRow("half rounds up") << 38125000.0 << "38.13 MB";
    QTest::newRow("beyond 32 bits") << 5368709120.0 << "5368.71 MB";
}

void TestMainView::calculateFileSize()
{
    QFETCH(double, size);
    QFETCH(QString, text);
    load();
    QCOMPARE((*m_view)(QStringLiteral("calculateFileSize(%1)").arg(size, 0, 'f', 0)).toString(),
             text);
}

void TestMainView::percentage_data()
{
    QTest::addColumn<double>("progress");
    QTest::addColumn<int>("percent");
    QTest::newRow("an eighth") << 0.125 << 13;
    QTest::newRow("half") << 0.5 << 50;
    QTest::newRow("none") << 0.0 << 0;
    QTest::newRow("all") << 1.0 << 100;
    QTest::newRow("just under a half percent") << 0.0049 << 0;
}

void TestMainView::percentage()
{
    QFETCH(double, progress);
    QFETCH(int, percent);
    load();
    QCOMPARE((*m_view)(QStringLiteral("percentage(%1)").arg(progress)).toInt(), percent);
}

void TestMainView::statusText_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("text");
    QTest::newRow("idle") << 0 << "Idle";
    QTest::newRow("downloading") << 1 << "Downloading";
    QTest::newRow("installing") << 2 << "Installing";
    QTest::newRow("anything else") << 7 << "Installing";
}

void TestMainView::statusText()
{
    QFETCH(int, status);
    QFETCH(QString, text);
    load();
    QCOMPARE((*m_view)(QStringLiteral("updateWords.statusText(%1)").arg(status)).toString(), text);
    if (status == 0) {
        QCOMPARE((*m_view)(QStringLiteral("idleStatusText.text")).toString(),
                 QStringLiteral("<b>Status:</b> Idle"));
    }
}

void TestMainView::versionTexts()
{
    LoopbackServer::Response held;
    held.body = "123456";
    held.held = true;
    m_server->setResponse(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"), held);
    QSettings().setValue(QStringLiteral("CurrentBuild"), 200000);
    load();
    const ViewProbe &view = *m_view;

    QCOMPARE(view("currentVersionText.text").toString(),
             QStringLiteral("<b>Current version:</b> 200000"));
    QCOMPARE(view("latestVersionText.text").toString(),
             QStringLiteral("<b>Latest version:</b> Checking ..."));

    m_server->release(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"));
    QTRY_COMPARE(view("latestVersionText.text").toString(),
                 QStringLiteral("<b>Latest version:</b> 123456"));

    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"),
                    "not a number");
    view("checkForUpdatesButton.clicked()");
    QTRY_COMPARE(view("latestVersionText.text").toString(),
                 QStringLiteral("<b>Latest version:</b> Unknown"));
    // A build below the installed one starts nothing.
    QCOMPARE(view("chromeDownloader.status").toInt(), 0);
    QCOMPARE(m_server->requests().filter(QStringLiteral("mini_installer")).size(), 0);
}

void TestMainView::emptyStoreLoadsDefaultsAndWritesOnlyTheRegistration()
{
    load();
    const ViewProbe &view = *m_view;
    QCOMPARE(m_viewer->window()->size(), QSize(310, 195));
    QCOMPARE(view("currentVersionText.text").toString(),
             QStringLiteral("<b>Current version:</b> Unknown"));
    QCOMPARE(view("updateIntervalSetting.value").toInt(), 5);
    QCOMPARE(view("updateFactorSetting.selectedText").toString(), QStringLiteral("minutes"));
    QVERIFY(view("runOnStartupSetting.checked").toBool());
    QVERIFY(view("showNotificationsSetting.checked").toBool());
    QCOMPARE(view("updateLoop.checkPeriod").toInt(), 300000);
    QVERIFY(checkTimer()->isActive());
    QCOMPARE(view("systemTrayIcon.toolTip").toString(),
             QStringLiteral("Tarrowin (No Chromium build installed yet)"));
    QCOMPARE(view("tabFrame.current").toInt(), 0);
    QVERIFY(!view("updateFrame.visible").toBool());

    // Loading the stored state is no change: only the first-start registration was written.
    QCOMPARE(QSettings().allKeys(), QStringList { "RunOnStartup" });
    QVERIFY(QFile::exists(RunAtLogon::autostartFile()));
}

void TestMainView::storedSettingsAreShown()
{
    QSettings settings;
    settings.setValue(QStringLiteral("RunOnStartup"), false);
    settings.setValue(QStringLiteral("ShowNotifications"), false);
    settings.setValue(QStringLiteral("UpdateCheckInterval"), 3);
    settings.setValue(QStringLiteral("UpdateCheckFactor"), 2);
    settings.setValue(QStringLiteral("CurrentBuild"), 42);
    load();
    const ViewProbe &view = *m_view;
    QVERIFY(!view("runOnStartupSetting.checked").toBool());
    QVERIFY(!view("showNotificationsSetting.checked").toBool());
    QCOMPARE(view("updateIntervalSetting.value").toInt(), 3);
    QCOMPARE(view("updateFactorSetting.selectedText").toString(), QStringLiteral("days"));
    QCOMPARE(view("systemTrayIcon.toolTip").toString(),
             QStringLiteral("Tarrowin (Chromium build 42)"));
    QVERIFY(!QFile::exists(RunAtLogon::autostartFile()));

    // The user's own changes are stored, and registration follows its check box.
    view("showNotificationsSetting.checked = true");
    QCOMPARE(QSettings().value(QStringLiteral("ShowNotifications")).toString(),
             QStringLiteral("true"));
    view("runOnStartupSetting.checked = true");
    QVERIFY(QFile::exists(RunAtLogon::autostartFile()));
    view("runOnStartupSetting.checked = false");
    QVERIFY(!QFile::exists(RunAtLogon::autostartFile()));
    QCOMPARE(QSettings().value(QStringLiteral("RunOnStartup")).toString(), QStringLiteral("false"));
}

void TestMainView::period_data()
{
    QTest::addColumn<QVariant>("storedCount");
    QTest::addColumn<QVariant>("storedFactor");
    QTest::addColumn<int>("count");
    QTest::addColumn<QString>("frame");
    QTest::addColumn<int>("interval");

    QTest::newRow("empty store") << QVariant() << QVariant() << 5 << "minutes" << 300000;
    QTest::newRow("minutes") << QVariant(7) << QVariant(0) << 7 << "minutes" << 420000;
    QTest::newRow("hours") << QVariant(2) << QVariant(1) << 2 << "hours" << 7200000;
    QTest::newRow("days") << QVariant(3) << QVariant(2) << 3 << "days" << 259200000;
    QTest::newRow("largest minutes")
        << QVariant(35791) << QVariant(0) << 35791 << "minutes" << 2147460000;
    QTest::newRow("too many minutes")
        << QVariant(99999) << QVariant(0) << 35791 << "minutes" << 2147460000;
    QTest::newRow("too many hours") << QVariant(597) << QVariant(1) << 596 << "hours" << 2145600000;
    QTest::newRow("too many days") << QVariant(25) << QVariant(2) << 24 << "days" << 2073600000;
    QTest::newRow("zero") << QVariant(0) << QVariant(0) << 1 << "minutes" << 60000;
    QTest::newRow("negative") << QVariant(-4) << QVariant(1) << 1 << "hours" << 3600000;
    QTest::newRow("unknown time frame") << QVariant(4) << QVariant(7) << 4 << "minutes" << 240000;
    QTest::newRow("time frame no number")
        << QVariant(4) << QVariant("x") << 4 << "minutes" << 240000;
}

void TestMainView::period()
{
    QFETCH(QVariant, storedCount);
    QFETCH(QVariant, storedFactor);
    QFETCH(int, count);
    QFETCH(QString, frame);
    QFETCH(int, interval);
    if (storedCount.isValid())
        QSettings().setValue(QStringLiteral("UpdateCheckInterval"), storedCount);
    if (storedFactor.isValid())
        QSettings().setValue(QStringLiteral("UpdateCheckFactor"), storedFactor);
    // The loop keeps its period from the store while the settings tab does not exist.
    load(false);
    const ViewProbe &view = *m_view;
    QCOMPARE(view("updateLoop.checkPeriod").toInt(), interval);
    QCOMPARE(checkTimer()->interval(), interval);
    m_viewer->makeWindow();
    QVERIFY(m_viewer->rootObject()->setProperty("contentWanted", true));
    QCOMPARE(view("updateIntervalSetting.value").toInt(), count);
    QCOMPARE(view("updateFactorSetting.selectedText").toString(), frame);
    QCOMPARE(view("updateLoop.checkPeriod").toInt(), interval);
    QCOMPARE(checkTimer()->interval(), interval);
}

void TestMainView::systemValuesAreShownUnwritten_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<int>("value");
    QTest::addColumn<int>("count");
    QTest::newRow("a count below the bounds") << "UpdateCheckInterval" << 0 << 1;
    QTest::newRow("an unknown time frame") << "UpdateCheckFactor" << 7 << 5;
}

void TestMainView::systemValuesAreShownUnwritten()
{
    QFETCH(QString, key);
    QFETCH(int, value);
    QFETCH(int, count);
    const QString system
        = m_environment.systemConfigDir() + QStringLiteral("/Quillmarsh/Tarrowin.conf");
    QSettings(system, QSettings::IniFormat).setValue(key, value);
    const auto removeFile = qScopeGuard([system] { QFile::remove(system); });
    load();
    QCOMPARE((*m_view)("updateIntervalSetting.value").toInt(), count);
    QVERIFY(!QSettings(QSettings().fileName(), QSettings::IniFormat).contains(key));
}

void TestMainView::tabSwitchesBeforeRestore_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<int>("tab");
    QTest::newRow("openWindow") << "openWindow()" << 0;
    QTest::newRow("openSettings") << "openSettings()" << 1;
}

void TestMainView::tabSwitchesBeforeRestore()
{
    QFETCH(QString, call);
    QFETCH(int, tab);
    load();
    const ViewProbe &view = *m_view;
    view(QStringLiteral("tabFrame.current = %1").arg(1 - tab));
    int tabAtRestore = -1;
    QObject *root = m_viewer->rootObject();
    const int restore = root->metaObject()->indexOfSignal("restore()");
    QSignalSpy restored(root, root->metaObject()->method(restore));
    // The window host shows the window on restore(): the tab must already be the right one.
    auto connection = connect(m_viewer.get(), &WindowHost::windowVisibleChanged, this,
                              [&] { tabAtRestore = view("tabFrame.current").toInt(); });
    view(call);
    disconnect(connection);
    QCOMPARE(restored.size(), 1);
    QCOMPARE(tabAtRestore, tab);
    QVERIFY(m_viewer->isVisible());
}

void TestMainView::makerPagesComeFromTheProgram()
{
    load();
    const ViewProbe &view = *m_view;
    QCOMPARE(view("siteAddress").toUrl(), m_server->url());
    QCOMPARE(view("updateAddress").toUrl(),
             m_server->url(QStringLiteral("/download/Tarrowin.exe")));
}

void TestMainView::failingBuildIsRetriedWithBackOffOverADay()
{
    const QString installer
        = QStringLiteral("/chromium-browser-snapshots/Win_x64/123456/mini_installer.exe");
    FakeInstaller::prepare(QDir::tempPath());
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"), "123456");
    m_server->serve(installer, FakeInstaller::exitingWith(1));
    QSettings().setValue(QStringLiteral("UpdateCheckInterval"), 1);
    load();
    const ViewProbe &view = *m_view;
    const auto settled = [&] {
        return !view("versionChecker.checking").toBool()
            && view("chromeDownloader.status").toInt() == 0;
    };
    QTRY_VERIFY_WITH_TIMEOUT(settled(), 20000);
    QCOMPARE(m_server->requestCount(installer), 1);

    // The spacing over a whole day is in UpdatePolicy's rows; here the view applies it: the
    // failed build is tried again 1, then 2, then 4 checks later, not at every check.
    for (const int attempts : { 2, 2, 3, 3, 3, 3, 4 }) {
        QMetaObject::invokeMethod(checkTimer(), "timeout");
        QTRY_VERIFY_WITH_TIMEOUT(settled(), 20000);
        QCOMPARE(m_server->requestCount(installer), attempts);
    }
    QCOMPARE(QSettings().value(QStringLiteral("FailedBuild")).toInt(), 123456);
    QCOMPARE(QSettings().value(QStringLiteral("FailedAttempts")).toInt(), 4);

    // A newer build is tried at once, and its success clears the record.
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"), "123457");
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/123457/mini_installer.exe"),
                    FakeInstaller::exitingWith(0));
    QMetaObject::invokeMethod(checkTimer(), "timeout");
    QTRY_COMPARE_WITH_TIMEOUT(view("chromeDownloader.currentBuild").toInt(), 123457, 20000);
    QVERIFY(!QSettings().contains(QStringLiteral("FailedBuild")));
    QVERIFY(!QSettings().contains(QStringLiteral("FailedAttempts")));
}

void TestMainView::failureShowsInTheStatusLine()
{
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"), "123456");
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/123456/mini_installer.exe"),
                    "gone", 404);
    load();
    const ViewProbe &view = *m_view;
    QTRY_VERIFY_WITH_TIMEOUT(
        view("chromeDownloader.lastError").toString().startsWith("Download failed: HTTP 404"),
        20000);
    QCOMPARE(view("idleStatusText.text").toString(),
             "<b>Status:</b> " + view("chromeDownloader.lastError").toString());
}

void TestMainView::failureTextIsNeverMarkup()
{
    // The storage names where it redirects to; the downloader refuses anything but HTTP(S)
    // and quotes the address in its message. Markup in it must not restyle the window.
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"), "123456");
    m_server->redirect(
        QStringLiteral("/chromium-browser-snapshots/Win_x64/123456/mini_installer.exe"),
        "ftp://127.0.0.1/<font size=\"7\">big</font>&amp;");
    load();
    const ViewProbe &view = *m_view;
    QTRY_COMPARE_WITH_TIMEOUT(view("chromeDownloader.lastError").toString(),
                              QStringLiteral("Download failed: refused redirect to "
                                             "ftp://127.0.0.1/<font size=\"7\">big</font>&amp;"),
                              20000);
    QCOMPARE(view("idleStatusText.text").toString(),
             QStringLiteral("<b>Status:</b> Download failed: refused redirect to "
                            "ftp://127.0.0.1/&lt;font size=\"7\"&gt;big&lt;/font&gt;&amp;amp;"));
}

void TestMainView::failedCheckSaysWhyOncePerOutage_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("line");
    QTest::newRow("refused") << 0 << "Cannot reach the build storage: Connection refused";
    QTest::newRow("404") << 404 << "The build storage answered 404";
    QTest::newRow("not a number") << 200 << "The build storage answered without a build number";
}

void TestMainView::failedCheckSaysWhyOncePerOutage()
{
    QFETCH(int, status);
    QFETCH(QString, line);
    const QString lastChange = QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE");
    if (status == 0) // a port where nothing listens
        Endpoints::setBuildStorage(QUrl(QStringLiteral("http://127.0.0.1:9")));
    m_server->serve(lastChange, "busy", status);
    // The build found at the end is older than this: nothing is downloaded.
    QSettings().setValue(QStringLiteral("CurrentBuild"), 200000);
    load();
    const ViewProbe &view = *m_view;
    QSignalSpy notices(
        view.object(QStringLiteral("updateNotifier")),
        SIGNAL(noticeRequested(QString, QString, int, int, QString, QString, QStringList)));
    QSignalSpy checks(view.object(QStringLiteral("versionChecker")),
                      SIGNAL(latestBuildChanged(int)));
    QTRY_COMPARE(view("idleStatusText.text").toString(), "<b>Status:</b> " + line);
    view("checkForUpdatesButton.clicked()");
    QTRY_COMPARE(checks.size(), 2);
    QCOMPARE(notices.size(), 1);
    QCOMPARE(notices.first().mid(0, 3),
             (QVariantList { line, "Cannot check for Chromium builds", 2 }));
    // When an outage ends and begins again is the loop's own test.
    Endpoints::setBuildStorage(m_server->url());
    m_server->serve(lastChange, "100");
    view("checkForUpdatesButton.clicked()");
    QTRY_COMPARE(view("idleStatusText.text").toString(), QStringLiteral("<b>Status:</b> Idle"));
}

void TestMainView::noSeriesForThisPlatform()
{
    BuildSeries::setNative(BuildSeries());
    load();
    const ViewProbe &view = *m_view;
    QTRY_VERIFY(!view("versionChecker.checking").toBool());
    BuildSeries::setNative(TestEnvironment::installerSeries());
    QCOMPARE(view("latestVersionText.text").toString(),
             QStringLiteral("<b>Latest version:</b> No Chromium builds for this platform"));
    QCOMPARE(view("versionChecker.latestBuild").toInt(), -1);
    QVERIFY(m_server->requests().filter(QStringLiteral("LAST_CHANGE")).isEmpty());
}

void TestMainView::buildsTabListsPinsAndRefusesRemovals()
{
    const InstallRoot root(InstallRoot::defaultPath());
    QVERIFY(plantBuild(root, 1230000, "Chromium 132.0.6834.0", true));
    QVERIFY(plantBuild(root, 1231000, "Chromium 132.0.6835.0", false));
    QVERIFY(plantBuild(root, 1232000, "Chromium 133.0.6905.0", true));
    // A browser left running from the build beside current: a program whose file is its chrome.
    const QString running = root.versionPath(1231000) + QStringLiteral("/chrome");
    QVERIFY(QFile::remove(running) && QFile::copy(QStringLiteral("/bin/sleep"), running));
    QProcess browser;
    browser.start(running, { QStringLiteral("60") });
    QVERIFY(browser.waitForStarted());
    const auto stop = qScopeGuard([&browser] {
        browser.kill();
        browser.waitForFinished();
    });
    load();
    const ViewProbe &view = *m_view;
    view("content.current = 2");
    QTRY_COMPARE(view("buildList.count").toInt(), 3);
    const auto row = [&view](int index) {
        view(QStringLiteral("buildList.currentIndex = %1").arg(index));
        return view("buildList.currentItem.text").toString();
    };
    QVERIFY2(row(1).contains("in use"), qPrintable(row(1)));
    QVERIFY2(row(0).startsWith("1232000  133.0.6905.0  ") && row(0).endsWith("  current"),
             qPrintable(row(0)));

    view("pinBuildButton.clicked()");
    QVERIFY(row(0).endsWith("current, pinned"));
    QCOMPARE(view("pinBuildButton.text").toString(), QStringLiteral("Unpin"));
    QCOMPARE(QSettings().value("PinnedBuilds").toStringList(), QStringList { "1232000" });
    view("removeBuildButton.clicked()");
    QCOMPARE(view("buildsMessageText.text").toString(),
             QStringLiteral("Build 1232000 is current: make another build current first"));
    row(1);
    view("removeBuildButton.clicked()");
    QCOMPARE(view("buildsMessageText.text").toString(),
             QStringLiteral("Build 1231000 is in use by a running browser"));
    QVERIFY(QFileInfo(running).isExecutable());

    row(2);
    view("removeBuildButton.clicked()");
    QCOMPARE(view("buildsMessageText.text").toString(), QString());
    QCOMPARE(view("buildList.count").toInt(), 2);
    QVERIFY(!QFileInfo::exists(root.versionPath(1230000)));
}

void TestMainView::buildsTabStartsAnOlderBuildOnceAsked()
{
    const InstallRoot root(InstallRoot::defaultPath());
    QVERIFY(plantBuild(root, 1230000, "Chromium 131.0.6778.0", false));
    QVERIFY(plantBuild(root, 1231000, "Chromium 133.0.6850.0", false));
    QVERIFY(plantBuild(root, 1232000, "Chromium 133.0.6905.0", true));
    const QString chrome = root.versionPath(1230000) + QStringLiteral("/chrome");
    QVERIFY(QFile::remove(chrome) && QFile::copy(TARROWIN_FAKE_BROWSER, chrome));
    const QString profile = BrowserLauncher::profile();
    QFile written(profile + QStringLiteral("/Last Version"));
    QVERIFY(QDir().mkpath(profile) && written.open(QIODevice::WriteOnly)
            && written.write("133.0.6905.0"));
    written.close();
    QVERIFY(BrowserLauncher::install(root, profile, QString(), TARROWIN_UNDER_TEST));
    const auto stop = qScopeGuard([&profile] {
        if (const qint64 pid = SingletonLock(profile).pid())
            ::kill(pid_t(pid), SIGINT);
        QDir(profile).removeRecursively();
    });
    load();
    const ViewProbe &view = *m_view;
    QSignalSpy notices(
        view.object(QStringLiteral("updateNotifier")),
        SIGNAL(noticeRequested(QString, QString, int, int, QString, QString, QStringList)));
    view("content.current = 2");
    QTRY_COMPARE(view("buildList.count").toInt(), 3);
    view("buildList.currentIndex = 2");
    view("startBuildButton.clicked()");
    // Across a milestone it asks first, as going back does; nothing starts before the answer.
    QCOMPARE(notices.size(), 1);
    QCOMPARE(notices.first().mid(0, 5),
             (QVariantList { "This profile was last used by Chromium 133. Build 1230000 is "
                             "Chromium 131.",
                             "Start build 1230000?", 2, 0, "startanyway" }));
    QVERIFY(!QFile::exists(profile + QStringLiteral("/fakebrowser.record")));
    view("updateNotifier.choose('startanyway')");
    // Marked once its browser holds the profile; the list may have been read afresh since.
    const auto olderRow = [&view] {
        view("buildList.currentIndex = 2");
        return view("buildList.currentItem.text").toString();
    };
    QTRY_VERIFY_WITH_TIMEOUT(olderRow().endsWith("in use"), 20000);
    QFile record(profile + QStringLiteral("/fakebrowser.record"));
    QVERIFY(record.open(QIODevice::ReadOnly));
    QVERIFY(record.readAll().contains("exe "
                                      + QFile::encodeName(QFileInfo(chrome).canonicalFilePath())));
    QCOMPARE(view("buildsMessageText.text").toString(), QString());
    // Chosen, so no relaunch into current is offered for it.
    view("browserRelaunch.refresh()");
    QVERIFY(!view("browserRelaunch.outdated").toBool());
    // Chromium would only open a window of the browser that has the profile.
    view("buildList.currentIndex = 1");
    view("startBuildButton.clicked()");
    QCOMPARE(view("buildsMessageText.text").toString(),
             QStringLiteral("Quit Chromium first: build 1231000 cannot open the profile while "
                            "another build has it open"));
}

// A bisect started from the window's form and judged by a notice's button and the window's,
// interrupted by a restart (the view made anew over the same settings and install root) and
// gone on with from its notice: the same step again, then on to the range. No build of its own
// is left after Done, and the own profile is as it was.
void TestMainView::bisectFromTheWindowGoesOnAfterARestart()
{
    const QList<int> published = BisectSeries::serve(*m_server, 32);
    QCOMPARE(published.size(), 32);
    const auto restore = qScopeGuard([] {
        BisectSeries::restore();
        QDir(BrowserLauncher::profile()).removeRecursively();
        QDir(StepLauncher::directory()).removeRecursively();
    });
    const int breaks = published[21];
    QFile preferences(BrowserLauncher::profile() + QStringLiteral("/Default/Preferences"));
    QVERIFY(QDir().mkpath(BrowserLauncher::profile() + QStringLiteral("/Default"))
            && preferences.open(QIODevice::WriteOnly) && preferences.write("{\"a\": 1}") > 0);
    preferences.close();
    const QStringList own = BisectSeries::tree(BrowserLauncher::profile());
    load();
    // The view of the moment: a restart makes another.
    const auto view = [this](const QString &expression) { return (*m_view)(expression); };
    view("openBuilds()");
    view("findBrokenBuildLink.activated()");
    QCOMPARE(view("bisectBadField.text").toInt(), published.last());
    view("bisectStartButton.clicked()");

    int good = published.first();
    int bad = published.last();
    // The step offered, judged by the notice's button or the window's; 0 once found.
    const auto judge = [&](bool byNotice, bool skip) {
        const QString ready = "[BisectActions.Testing, BisectActions.Found]"
                              ".includes(bisectActions.state)";
        if (!QTest::qWaitFor([&] { return view(ready).toBool(); }, 20000)
            || view("bisectActions.step").toInt() < 0)
            return 0;
        const int step = view("bisectActions.step").toInt();
        const QString verdict = skip ? "Skip" : step < breaks ? "Good" : "Bad";
        if (!skip)
            (step < breaks ? good : bad) = step;
        view(byNotice ? "updateNotifier.choose('bisect" + verdict.toLower() + "')"
                      : "bisect" + verdict + "Button.clicked()");
        return step;
    };
    QVERIFY2(judge(true, false) > 0, qPrintable(view("bisectActions.line").toString()));
    QVERIFY(judge(false, false) > 0);
    QVERIFY(judge(false, true) > 0);
    QTRY_COMPARE_WITH_TIMEOUT(view("bisectActions.state === BisectActions.Testing").toBool(), true,
                              20000);
    const int interrupted = view("bisectActions.step").toInt();

    m_view.reset();
    m_viewer.reset();
    load();
    // What the notice offering to go on says.
    QSignalSpy offers(m_view->object(QStringLiteral("bisectActions")),
                      SIGNAL(resumeOffered(QString)));
    QTRY_COMPARE(view("bisectActions.state === BisectActions.Resumable").toBool(), true);
    const QString line = QStringLiteral("The bisect of builds %1..%2 was interrupted at build %3")
                             .arg(published.first())
                             .arg(published.last())
                             .arg(interrupted);
    QCOMPARE(view("bisectActions.line").toString(), line);
    QTRY_COMPARE(offers.value(0).value(0).toString(), line);
    view("updateNotifier.choose('bisectgoon')");
    QCOMPARE(judge(false, false), interrupted);
    for (int step = 0; step < 6 && judge(false, false) > 0; ++step) { }
    QCOMPARE(view("bisectLineText.text").toString(),
             QStringLiteral("The change is between build %1 (good) and build %2 (bad)")
                 .arg(good)
                 .arg(bad));
    QVERIFY(good < breaks && breaks <= bad);

    view("bisectStopButton.clicked()");
    const InstallRoot root(InstallRoot::defaultPath());
    // Once the step's browser has gone, and with it the bisect.
    QTRY_COMPARE(QDir(root.path() + "/bisect-cache")
                     .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
                 QStringList());
    QCOMPARE(
        QDir(root.path() + "/versions").entryList(QDir::Dirs | QDir::NoDotAndDotDot),
        (QStringList { QString::number(published.first()), QString::number(published.last()) }));
    QTRY_COMPARE(QDir(StepLauncher::directory()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList());
    QCOMPARE(BisectSeries::tree(BrowserLauncher::profile()), own);
    // A build a crash left in the cache goes at the next start, with no bisect to go on with.
    QVERIFY(QDir().mkpath(root.path() + "/bisect-cache/1349999"));
    m_view.reset();
    m_viewer.reset();
    load();
    QTRY_VERIFY(!QFileInfo::exists(root.path() + "/bisect-cache/1349999"));
}

void TestMainView::goBackEntryFollowsThePreviousBuild()
{
    load();
    const ViewProbe &view = *m_view;
    const auto labels = [&](int previous, int current = 2000) {
        QStringList result;
        for (const QVariant &entry :
             view(QStringLiteral("updateWords.trayMenu(%1, %2)").arg(previous).arg(current))
                 .toList())
            result << entry.toMap().value(QStringLiteral("label")).toString();
        return result;
    };
    QCOMPARE(labels(-1), (QStringList { "&Open", "&Settings", "Stay on this build", "", "&Exit" }));
    QCOMPARE(labels(1234),
             (QStringList { "&Open", "&Settings", "Go back to build 1234", "Stay on this build", "",
                            "&Exit" }));
    QCOMPARE(labels(-1, -1), (QStringList { "&Open", "&Settings", "", "&Exit" }));
    QCOMPARE(labels(1234, 1000).value(2), QStringLiteral("Return to build 1234"));
}

void TestMainView::sandboxEntryWhileTheRestrictionHolds()
{
    load();
    const ViewProbe &view = *m_view;
    const auto offered = [&] {
        return view("systemTrayIcon.menu.some(e => e.label === \"Allow Chromium's sandbox\u2026\")")
            .toBool();
    };
    // A kernel switch is the administrator's to lift: no profile of ours helps.
    view("updateNotifier.sandboxBlocked(2)");
    QVERIFY(!offered());
    view("updateNotifier.sandboxBlocked(1)");
    QVERIFY(offered());
    view("updateNotifier.sandboxAllowed(true, '')");
    QVERIFY(!offered());
    // So is relaunching, while a browser runs from an older build.
    view("updateNotifier.browserOutdated = true");
    QVERIFY(view("systemTrayIcon.menu.some(e => e.name === 'relaunch')").toBool());
}

void TestMainView::exitWaitsForAnInstallation()
{
    FakeInstaller::prepare(QDir::tempPath());
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"), "123456");
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/123456/mini_installer.exe"),
                    FakeInstaller::waitingForRelease(0));
    load();
    const ViewProbe &view = *m_view;
    QTRY_COMPARE_WITH_TIMEOUT(view("chromeDownloader.status").toInt(), 2, 20000);

    QSignalSpy quit(QCoreApplication::instance(), &QCoreApplication::aboutToQuit);
    QSignalSpy engineQuit(m_viewer->engine(), &QQmlEngine::quit);
    view("exitProgram()");
    QCOMPARE(engineQuit.count(), 0);
    QVERIFY(m_viewer->isVisible());
    QCOMPARE(view("downloadStatusText.text").toString(),
             QStringLiteral("<b>Status:</b> Finishing the installation of build 123456 \u2026"));

    QFile release(qEnvironmentVariable("TARROWIN_INSTALLER_RELEASE"));
    QVERIFY(release.open(QIODevice::WriteOnly));
    QVERIFY(engineQuit.wait(20000));
    QCOMPARE(QSettings().value(QStringLiteral("CurrentBuild")).toInt(), 123456);
}

void TestMainView::lostNoticeStaysUntilTheWindowWasOpen()
{
    // No notification service and no tray to draw a balloon at: the update notice is lost.
    m_server->serve(QStringLiteral("/tarrowin/latest_version"), "9.9.9");
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"), "100");
    QSettings().setValue(QStringLiteral("CurrentBuild"), 200000);
    load();
    const ViewProbe &view = *m_view;
    const QString lost
        = QStringLiteral("<b>Status:</b> There is a new version of Tarrowin available.");
    QTRY_COMPARE(view("idleStatusText.text").toString(), lost);

    m_viewer->makeWindow()->show();
    QCOMPARE(view("idleStatusText.text").toString(), lost);
    m_viewer->window()->hide();
    QCOMPARE(view("idleStatusText.text").toString(), QStringLiteral("<b>Status:</b> Idle"));
}

void TestMainView::meteredConnectionHoldsTheDownload_data()
{
    QTest::addColumn<QString>("release");
    // Metered by NetworkManager's word before the start, rather than once the view is up.
    QTest::addColumn<bool>("fromTheStart");
    QTest::newRow("the connection becomes free") << "updateLoop.metered = false" << false;
    QTest::newRow("the user lets it go ahead")
        << "downloadOnMeteredSetting.checked = true" << false;
    QTest::newRow("metered from the start") << "downloadOnMeteredSetting.checked = true" << true;
}

void TestMainView::meteredConnectionHoldsTheDownload()
{
    QFETCH(QString, release);
    QFETCH(bool, fromTheStart);
    const QString lastChange = QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE");
    const QString installer
        = QStringLiteral("/chromium-browser-snapshots/Win_x64/123456/mini_installer.exe");
    LoopbackServer::Response held;
    held.body = "123456";
    held.held = true;
    m_server->setResponse(lastChange, held);
    m_server->serve(installer, "gone", 404);
    // NetworkManager answers in a thread of its own, once the first check has ended.
    QThread answers;
    std::unique_ptr<FakeNetworkManager> manager;
    if (fromTheStart) {
        manager = std::make_unique<FakeNetworkManager>(
            QDBusConnection::connectToBus(m_bus->address(), QStringLiteral("nm")), 1);
        manager->moveToThread(&answers);
    }
    const auto stop = qScopeGuard([&answers] { answers.quit(), answers.wait(); });
    load();
    const ViewProbe &view = *m_view;
    if (!fromTheStart)
        view("updateLoop.metered = true");
    m_server->release(lastChange);
    QTRY_COMPARE(view("versionChecker.latestBuild").toInt(), 123456);
    answers.start();

    QTRY_COMPARE(view("idleStatusText.text").toString(),
                 QStringLiteral("<b>Status:</b> Waiting for an unmetered connection"));
    QCOMPARE(m_server->requestCount(installer), 0);
    view(release);
    QTRY_COMPARE(m_server->requestCount(installer), 1);
}

void TestMainView::meteredConnectionPausesARunningDownload()
{
    const QString archive = "/chromium-browser-snapshots/Linux_x64/123456/chrome-linux.zip";
    LoopbackServer::Response build { 200, { { "ETag", "\"1\"" } }, QByteArray(1 << 20, 'z') };
    build.trickleIntervalMs = 100;
    build.trickleBytes = 16 << 10;
    build.ranges = true;
    m_server->setResponse(archive, build);
    m_server->serve("/chromium-browser-snapshots/Linux_x64/LAST_CHANGE", "123456");
    BuildSeries::setNative(TestEnvironment::archiveSeries());
    FakeNetworkManager manager(QDBusConnection::connectToBus(m_bus->address(), "nm"), 4);
    load();
    QTRY_VERIFY((*m_view)("chromeDownloader.downloadCurrent").toLongLong() >= 32 << 10);
    manager.setMetered(1);
    QTRY_COMPARE((*m_view)("idleStatusText.text").toString(),
                 QStringLiteral("<b>Status:</b> Waiting for an unmetered connection"));
    QCOMPARE(m_server->requestCount(archive), 1);
    manager.setMetered(4);
    // The rest, then a request for the archive's end, which is unpacked as it arrives.
    QTRY_VERIFY(m_server->requestCount(archive) >= 2);
    const QStringList requests = m_server->requests();
    const QByteArray range
        = m_server->rangeHeaders().value(requests.indexOf(archive, requests.indexOf(archive) + 1));
    QVERIFY2(range.startsWith("bytes=") && range.mid(6).chopped(1).toLongLong() >= 32 << 10, range);
}

TARROWIN_TEST_MAIN(TestMainView, false)
#include "tst_mainview.moc"

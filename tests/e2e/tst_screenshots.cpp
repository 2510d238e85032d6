#include "common/endpoints.h"
#include "shell/qmlapplicationviewer.h"
#include "support/fakeinstaller.h"
#include "support/loopbackserver.h"
#include "support/testenvironment.h"
#include "support/viewprobe.h"

#include <QDir>
#include <QImage>
#include <QSettings>

// Pictures of the window as a person sees it, kept as build artefacts in
// build/screenshots/.
class TestScreenshots : public QObject
{
    Q_OBJECT

public:
    explicit TestScreenshots(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void statusTabIdle();
    void statusTabDownloading();
    void settingsTabWithUpdateNotice();

private:
    void start();
    void save(const QString &name);

    TestEnvironment &m_environment;
    std::unique_ptr<LoopbackServer> m_server;
    std::unique_ptr<QmlApplicationViewer> m_viewer;
    std::unique_ptr<ViewProbe> m_view;
};

void TestScreenshots::initTestCase()
{
    QVERIFY(QDir().mkpath(QStringLiteral(TARROWIN_SCREENSHOT_DIR)));
}

void TestScreenshots::init()
{
    QSettings().clear();
    FakeInstaller::prepare(m_environment.root());
    m_server = std::make_unique<LoopbackServer>();
    Endpoints::setBuildStorage(m_server->url());
    Endpoints::setMaker(m_server->url());
    m_server->serve(QStringLiteral("/tarrowin/latest_version"), "0.1.2");
    // Keeps the version shown fixed for the pictures.
    QSettings().setValue(QStringLiteral("CurrentBuild"), 123000);
}

void TestScreenshots::cleanup()
{
    m_view.reset();
    m_viewer.reset();
}

void TestScreenshots::start()
{
    m_viewer = Startup::createMainWindow({ QStringLiteral("tarrowin") });
    m_view = std::make_unique<ViewProbe>(m_viewer.get());
    QVERIFY(QTest::qWaitForWindowExposed(m_viewer.get()));
    QCOMPARE(m_viewer->size(), QSize(310, 195));
}

void TestScreenshots::save(const QString &name)
{
    const QImage image = m_viewer->grabWindow();
    QCOMPARE(image.size(), QSize(310, 195));
    const QString path = QStringLiteral(TARROWIN_SCREENSHOT_DIR "/") + name;
    QVERIFY2(image.save(path), qPrintable(path));
}

void TestScreenshots::statusTabIdle()
{
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"), "122000");
    start();
    QTRY_COMPARE_WITH_TIMEOUT((*m_view)("versionChecker.latestBuild").toInt(), 122000, 10000);
    save(QStringLiteral("status-idle.png"));
}

void TestScreenshots::statusTabDownloading()
{
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"), "123456");
    // A transfer that stops a third of the way holds the window mid-download. It arrives in
    // pieces, since the network layer reports progress at most every 100 ms.
    LoopbackServer::Response stalled;
    stalled.body = FakeInstaller::exitingWith(0).leftJustified(38123456, '#');
    stalled.stallAfter = stalled.body.size() / 3;
    stalled.trickleIntervalMs = 25;
    stalled.trickleBytes = 512 * 1024;
    m_server->setResponse(
        QStringLiteral("/chromium-browser-snapshots/Win_x64/123456/mini_installer.exe"), stalled);
    start();
    QTRY_VERIFY_WITH_TIMEOUT((*m_view)("chromeDownloader.downloadProgress").toDouble() > 0.2,
                             20000);
    QTRY_COMPARE_WITH_TIMEOUT((*m_view)("downloadingBottomPanel.opacity").toDouble(), 1.0, 10000);
    // Progress reports are spaced out by the network layer, so the exact share shown varies.
    QVERIFY((*m_view)("fileSizeText.text")
                .toString()
                .startsWith(QStringLiteral("<b>File size:</b> 38.12 MB (")));
    save(QStringLiteral("status-downloading.png"));
}

void TestScreenshots::settingsTabWithUpdateNotice()
{
    m_server->serve(QStringLiteral("/tarrowin/latest_version"), "0.1.3");
    start();
    (*m_view)("openSettings()");
    QTRY_VERIFY_WITH_TIMEOUT((*m_view)("updateFrame.visible").toBool(), 10000);
    save(QStringLiteral("settings-update.png"));
}

TARROWIN_TEST_MAIN(TestScreenshots, true)
#include "tst_screenshots.moc"

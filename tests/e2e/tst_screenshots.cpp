#include "browser/steplauncher.h"
#include "common/endpoints.h"
#include "shell/qmlapplicationviewer.h"
#include "shell/windowhost.h"
#include "support/bisectseries.h"
#include "support/fakeinstaller.h"
#include "support/loopbackserver.h"
#include "support/plantedbuilds.h"
#include "support/testenvironment.h"
#include "support/viewprobe.h"

#include <QDir>
#include <QImage>
#include <QSettings>

// Pictures of the window as a person sees it, in a light and a dark desktop theme, kept as
// build artefacts in build/screenshots/. A second run with QT_FONT_DPI=144 takes them as a
// desktop with that font setting shows the window: scaled as a whole, named "-144dpi".
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

    void statusTabIdle_data() { themes(); }
    void statusTabIdle();
    void statusTabDownloading_data() { themes(); }
    void statusTabDownloading();
    void statusTabFailed_data() { themes(); }
    void statusTabFailed();
    void settingsTabWithUpdateNotice_data() { themes(); }
    void settingsTabWithUpdateNotice();
    void buildsTab_data();
    void buildsTab();

private:
    static void themes();
    void start();
    void save(const QString &name);

    TestEnvironment &m_environment;
    QPalette m_desktopPalette;
    std::unique_ptr<LoopbackServer> m_server;
    std::unique_ptr<WindowHost> m_viewer;
    std::unique_ptr<ViewProbe> m_view;
};

namespace {

// A dark desktop theme, as the common dark Fusion palettes set it; the shades between
// (light, mid, dark) follow from the button and window colours.
QPalette darkPalette()
{
    QPalette dark(QColor(0x35, 0x35, 0x35), QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::WindowText, QColor(0xe6, 0xe6, 0xe6));
    dark.setColor(QPalette::Base, QColor(0x23, 0x23, 0x23));
    dark.setColor(QPalette::AlternateBase, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::Text, QColor(0xe6, 0xe6, 0xe6));
    dark.setColor(QPalette::ButtonText, QColor(0xe6, 0xe6, 0xe6));
    dark.setColor(QPalette::PlaceholderText, QColor(0x90, 0x90, 0x90));
    dark.setColor(QPalette::Highlight, QColor(0x2f, 0x65, 0xca));
    dark.setColor(QPalette::HighlightedText, Qt::white);
    dark.setColor(QPalette::Link, QColor(0x6c, 0xb4, 0xff));
    dark.setColor(QPalette::LinkVisited, QColor(0xb4, 0x8c, 0xff));
    dark.setColor(QPalette::ToolTipBase, QColor(0x35, 0x35, 0x35));
    dark.setColor(QPalette::ToolTipText, QColor(0xe6, 0xe6, 0xe6));
    for (const QPalette::ColorRole role :
         { QPalette::WindowText, QPalette::Text, QPalette::ButtonText }) {
        dark.setColor(QPalette::Disabled, role, QColor(0x80, 0x80, 0x80));
    }
    return dark;
}

} // namespace

void TestScreenshots::initTestCase()
{
    QVERIFY(QDir().mkpath(QStringLiteral(TARROWIN_SCREENSHOT_DIR)));
    m_desktopPalette = QGuiApplication::palette();
}

void TestScreenshots::init()
{
    QSettings().clear();
    FakeInstaller::prepare(m_environment.root());
    m_server = std::make_unique<LoopbackServer>();
    Endpoints::setBuildStorage(m_server->url());
    Endpoints::setMaker(m_server->url());
    m_server->serve(QStringLiteral("/tarrowin/latest_version"), "0.1.2");
    // Keeps the version shown fixed for the pictures; real builds have seven digits.
    QSettings().setValue(QStringLiteral("CurrentBuild"), 1234000);
}

void TestScreenshots::cleanup()
{
    m_view.reset();
    m_viewer.reset();
    QApplication::setPalette(m_desktopPalette);
    BisectSeries::restore();
    QDir(InstallRoot::defaultPath()).removeRecursively();
    QDir(StepLauncher::directory()).removeRecursively();
}

void TestScreenshots::themes()
{
    QTest::addColumn<bool>("dark");
    QTest::newRow("light") << false;
    QTest::newRow("dark") << true;
}

void TestScreenshots::start()
{
    m_viewer = Startup::createMainWindow({ QStringLiteral("tarrowin") });
    m_view = std::make_unique<ViewProbe>(m_viewer.get());
    QVERIFY(QTest::qWaitForWindowExposed(m_viewer->window()));
    QCOMPARE(m_viewer->window()->size(), QSize(310, 195));
    // The desktop turns dark while the program runs, as when the user switches themes.
    QFETCH(bool, dark);
    if (dark)
        QApplication::setPalette(darkPalette());
}

void TestScreenshots::save(const QString &name)
{
    QFETCH(bool, dark);
    const QImage image = m_viewer->window()->grabWindow();
    // In window pixels; a scaled desktop has more pixels to each.
    QCOMPARE((QSizeF(image.size()) / m_viewer->window()->effectiveDevicePixelRatio()).toSize(),
             QSize(310, 195));
    QString file = name;
    if (dark)
        file += QStringLiteral("-dark");
    if (qEnvironmentVariableIsSet("QT_FONT_DPI"))
        file += QStringLiteral("-%1dpi").arg(qEnvironmentVariable("QT_FONT_DPI"));
    const QString path = QStringLiteral(TARROWIN_SCREENSHOT_DIR "/") + file + ".png";
    QVERIFY2(image.save(path), qPrintable(path));
}

void TestScreenshots::statusTabIdle()
{
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"), "1233999");
    start();
    QTRY_COMPARE_WITH_TIMEOUT((*m_view)("versionChecker.latestBuild").toInt(), 1233999, 10000);
    save(QStringLiteral("status-idle"));
}

void TestScreenshots::statusTabDownloading()
{
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"), "1234567");
    // A transfer that stops a third of the way holds the window mid-download. It arrives in
    // pieces, since the network layer reports progress at most every 100 ms.
    LoopbackServer::Response stalled;
    stalled.body = FakeInstaller::exitingWith(0).leftJustified(38123456, '#');
    stalled.stallAfter = stalled.body.size() / 3;
    stalled.trickleIntervalMs = 25;
    stalled.trickleBytes = 512 * 1024;
    m_server->setResponse(
        QStringLiteral("/chromium-browser-snapshots/Win_x64/1234567/mini_installer.exe"), stalled);
    start();
    QTRY_VERIFY_WITH_TIMEOUT((*m_view)("chromeDownloader.downloadProgress").toDouble() > 0.2,
                             20000);
    QTRY_COMPARE_WITH_TIMEOUT((*m_view)("downloadingBottomPanel.opacity").toDouble(), 1.0, 10000);
    // Progress reports are spaced out by the network layer, so the exact share shown varies.
    QVERIFY((*m_view)("fileSizeText.text")
                .toString()
                .startsWith(QStringLiteral("<b>File size:</b> 38.12 MB (")));
    save(QStringLiteral("status-downloading"));
}

void TestScreenshots::statusTabFailed()
{
    // One of the longest messages there are: an address the storage redirected to, which
    // the downloader refuses to follow, one long word the line has to break inside.
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE"), "1234567");
    m_server->redirect(
        QStringLiteral("/chromium-browser-snapshots/Win_x64/1234567/mini_installer.exe"),
        "ftp://127.0.0.1/chromium-browser-snapshots/Win_x64/1234567/mini_installer.exe");
    start();
    QTRY_VERIFY_WITH_TIMEOUT((*m_view)("chromeDownloader.lastError")
                                 .toString()
                                 .startsWith(QStringLiteral("Download failed: refused redirect")),
                             10000);
    QTRY_COMPARE_WITH_TIMEOUT((*m_view)("idleBottomPanel.opacity").toDouble(), 1.0, 10000);
    save(QStringLiteral("status-failed"));
}

void TestScreenshots::settingsTabWithUpdateNotice()
{
    m_server->serve(QStringLiteral("/tarrowin/latest_version"), "0.1.3");
    start();
    (*m_view)("openSettings()");
    QTRY_VERIFY_WITH_TIMEOUT((*m_view)("updateFrame.visible").toBool(), 10000);
    save(QStringLiteral("settings-update"));
}

void TestScreenshots::buildsTab_data()
{
    QTest::addColumn<bool>("dark");
    // The list, or the bisect's form ("form"), a step ("Testing") or its result ("Found").
    QTest::addColumn<QString>("scene");
    QTest::addColumn<QString>("picture");
    for (const bool dark : { false, true }) {
        const char *theme = dark ? "dark" : "light";
        QTest::addRow("%s", theme) << dark << "list"
                                   << "builds";
        QTest::addRow("%s, the bisect's form", theme) << dark << "form"
                                                      << "builds-bisect-form";
        QTest::addRow("%s, a bisect's step", theme) << dark << "Testing"
                                                    << "builds-bisect-step";
        QTest::addRow("%s, a bisect's result", theme) << dark << "Found"
                                                      << "builds-bisect-result";
    }
}

void TestScreenshots::buildsTab()
{
    QFETCH(QString, scene);
    QFETCH(QString, picture);
    const InstallRoot root(InstallRoot::defaultPath());
    if (scene == QLatin1String("list")) {
        QVERIFY(plantBuild(root, 1233000, "Chromium 132.0.6834.0 snapshot", true));
        QVERIFY(plantBuild(root, 1234000, "Chromium 133.0.6905.0 snapshot", true));
        QSettings().setValue(QStringLiteral("PinnedBuilds"), QStringList { "1233000" });
    } else {
        QCOMPARE(BisectSeries::serve(*m_server, 6).size(), 6);
    }
    start();
    (*m_view)("openBuilds()");
    if (scene == QLatin1String("list")) {
        QTRY_COMPARE_WITH_TIMEOUT((*m_view)("buildList.count").toInt(), 2, 10000);
        // The sizes are counted beside the window: the picture waits for them.
        QTRY_VERIFY_WITH_TIMEOUT(!(*m_view)("buildList.currentItem.text").toString().contains("…"),
                                 10000);
        (*m_view)("removeBuildButton.clicked()");
    } else if (scene == QLatin1String("form")) {
        (*m_view)("findBrokenBuildLink.activated()");
    } else {
        QVERIFY(BisectSeries::bringTo(*m_view, scene));
    }
    // The window's own colour follows a theme change a moment after its controls do.
    QTRY_COMPARE_WITH_TIMEOUT((*m_view)("frame.color"), (*m_view)("content.palette.window"), 10000);
    save(picture);
}

TARROWIN_TEST_MAIN(TestScreenshots, true)
#include "tst_screenshots.moc"

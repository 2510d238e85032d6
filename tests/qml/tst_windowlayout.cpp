#include "browser/steplauncher.h"
#include "builds/chromedownloader.h"
#include "common/endpoints.h"
#include "shell/qmlapplicationviewer.h"
#include "shell/windowhost.h"
#include "support/bisectseries.h"
#include "support/fakeinstaller.h"
#include "support/loopbackserver.h"
#include "support/plantedbuilds.h"
#include "support/testenvironment.h"
#include "support/viewprobe.h"

#include <QAccessible>
#include <QDesktopServices>
#include <QDir>
#include <QHash>
#include <QImage>
#include <QQmlComponent>
#include <QQmlEngine>
#include <QQuickItem>
#include <QScreen>
#include <QSettings>

#include <cmath>

// The window as a person meets it: every text whole inside the fixed-size window, every
// control reachable by keyboard and named for screen readers, nothing animating unseen, and
// the view compiled ahead of time. Registered twice: as is, and with a 144 DPI font setting
// and no display scaling, where text sized in points would outgrow the window.
class TestWindowLayout : public QObject
{
    Q_OBJECT

public:
    explicit TestWindowLayout(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

public slots:
    void openUrl(const QUrl &url) { m_openedUrls.append(url); }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void textsFitTheWindow_data();
    void textsFitTheWindow();
    void tabReachesEveryControl_data();
    void tabReachesEveryControl();
    void creditsLinkOpensFromTheKeyboard();
    void escapeHidesTheWindow_data();
    void escapeHidesTheWindow();
    void nothingAnimatesWhileHidden();
    void viewIsCompiledAheadOfTime();

private:
    void load(bool shown);
    static void plantBuilds();
    void serveDownloadThatStalls(int build);
    QQuickItem *item(const QString &id) const;
    QList<QQuickItem *> tabButtons() const;

    TestEnvironment &m_environment;
    std::unique_ptr<LoopbackServer> m_server;
    std::unique_ptr<WindowHost> m_viewer;
    std::unique_ptr<ViewProbe> m_view;
    QList<QUrl> m_openedUrls;
};

namespace {

const QString lastChange = QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE");

// What a person can see on a page: texts, images and controls (a control's own insides
// are its own business), each with the area it paints in scene coordinates.
struct Painted
{
    QQuickItem *item;
    QRectF area;
};

// A list clips its rows: what lies outside it is not seen, and counts only where it shows.
void collectPainted(QQuickItem *item, QList<Painted> &found, QRectF clip = QRectF())
{
    if (!item->isVisible() || item->opacity() <= 0)
        return;
    QRectF area = item->mapRectToScene(QRectF(0, 0, item->width(), item->height()));
    if (!clip.isNull()) {
        area = area.intersected(clip);
        if (area.isEmpty())
            return;
    }
    const bool text = item->inherits("QQuickText");
    if (text || item->inherits("QQuickImage") || item->inherits("QQuickControl")) {
        found.append({ item, area });
        if (!text)
            return;
    }
    if (item->clip())
        clip = area;
    const QList<QQuickItem *> children = item->childItems();
    for (QQuickItem *child : children)
        collectPainted(child, found, clip);
}

QString describe(const QQuickItem *item)
{
    const QString text = item->property("text").toString();
    return QStringLiteral("%1 \"%2\"")
        .arg(QString::fromLatin1(item->metaObject()->className()),
             text.isEmpty() ? item->objectName() : text);
}

// WCAG's contrast of a text with its background where it was drawn, from 1 to 21: the
// commonest colour in its area is the background, the one that differs most the text's.
double renderedContrast(const QImage &image, const QRect &area)
{
    const auto luminance = [](QRgb rgb) {
        const auto linear = [](int c) {
            return c <= 10 ? c / 3294.6 : std::pow((c / 255.0 + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * linear(qRed(rgb)) + 0.7152 * linear(qGreen(rgb))
            + 0.0722 * linear(qBlue(rgb)) + 0.05;
    };
    QHash<QRgb, int> counts;
    for (int y = area.top(); y <= area.bottom(); ++y) {
        for (int x = area.left(); x <= area.right(); ++x)
            ++counts[image.pixel(x, y)];
    }
    const QList<int> sizes = counts.values();
    const double ground = luminance(counts.key(*std::max_element(sizes.cbegin(), sizes.cend())));
    double best = 1;
    for (const QRgb colour : counts.keys())
        best = std::max({ best, luminance(colour) / ground, ground / luminance(colour) });
    return best;
}

bool isWithin(const QQuickItem *item, const QQuickItem *ancestor)
{
    for (const QQuickItem *it = item; it; it = it->parentItem()) {
        if (it == ancestor)
            return true;
    }
    return false;
}

} // namespace

void TestWindowLayout::initTestCase()
{
    // Compiled units for files the build did not compile land here, and nowhere else.
    qputenv("QML_DISK_CACHE_PATH", QDir(m_environment.tempDir()).filePath("qmlcache").toUtf8());
    // As with a screen reader running: controls name themselves only then.
    QAccessible::setActive(true);
    // The 144 DPI run must really have the larger fonts, or it proves nothing.
    if (qEnvironmentVariableIsSet("QT_FONT_DPI")) {
        QCOMPARE(QGuiApplication::primaryScreen()->logicalDotsPerInch(),
                 qEnvironmentVariableIntValue("QT_FONT_DPI"));
    }
    // So must the dark colour scheme the desktop hands in.
    if (qEnvironmentVariable("XDG_CURRENT_DESKTOP") == QLatin1String("KDE"))
        QVERIFY(QGuiApplication::palette().color(QPalette::Window).lightness() < 64);
}

void TestWindowLayout::init()
{
    QSettings().clear();
    m_server = std::make_unique<LoopbackServer>();
    Endpoints::setBuildStorage(m_server->url());
    Endpoints::setMaker(m_server->url());
    m_openedUrls.clear();
}

void TestWindowLayout::cleanup()
{
    QDesktopServices::unsetUrlHandler(QStringLiteral("http"));
    BisectSeries::restore();
    m_view.reset();
    m_viewer.reset();
    QDir(InstallRoot::defaultPath()).removeRecursively();
    QDir(StepLauncher::directory()).removeRecursively();
}

// Builds with the longest words a row holds: seven digits, a long version, every mark.
void TestWindowLayout::plantBuilds()
{
    const InstallRoot root(InstallRoot::defaultPath());
    QVERIFY(plantBuild(root, 1230000, "Chromium 132.0.6834.0 snapshot", true));
    QVERIFY(plantBuild(root, 1234567, "Chromium 133.0.6905.0 snapshot", true));
    QVERIFY(plantBuild(root, 1229999, "Chromium 132.0.6833.1 snapshot", false));
    QSettings().setValue(QStringLiteral("PinnedBuilds"), QStringList { "1234567", "1229999" });
}

void TestWindowLayout::load(bool shown)
{
    QStringList arguments { QStringLiteral("tarrowin") };
    if (!shown)
        arguments << QStringLiteral("/tray");
    m_viewer = Startup::createMainWindow(arguments);
    QVERIFY(m_viewer->rootObject());
    m_view = std::make_unique<ViewProbe>(m_viewer.get());
    if (shown)
        QVERIFY(QTest::qWaitForWindowExposed(m_viewer->window()));
}

// The download of build starts and then holds, so the window stays on its download panel.
void TestWindowLayout::serveDownloadThatStalls(int build)
{
    m_server->serve(lastChange, QByteArray::number(build));
    LoopbackServer::Response stalled;
    stalled.body = QByteArray(1 << 20, '#');
    stalled.stallAfter = 1024;
    m_server->setResponse(
        QStringLiteral("/chromium-browser-snapshots/Win_x64/%1/mini_installer.exe").arg(build),
        stalled);
}

QQuickItem *TestWindowLayout::item(const QString &id) const
{
    return qobject_cast<QQuickItem *>(m_view->object(id));
}

QList<QQuickItem *> TestWindowLayout::tabButtons() const
{
    QList<QQuickItem *> found;
    QList<QQuickItem *> pending { m_viewer->window()->contentItem() };
    while (!pending.isEmpty()) {
        QQuickItem *candidate = pending.takeFirst();
        if (candidate->inherits("QQuickTabButton"))
            found.append(candidate);
        pending.append(candidate->childItems());
    }
    return found;
}

void TestWindowLayout::textsFitTheWindow_data()
{
    QTest::addColumn<int>("current");
    // "unknown": the storage's answer is no number; "unsupported": no series for this
    // platform; "checking": the answer is still on its way; otherwise the number served.
    QTest::addColumn<QString>("latest");
    // "idle", "downloading" or "finishing" (Exit waiting for an installation).
    QTest::addColumn<QString>("state");
    // Put in the status line in place of the last failure; empty: none.
    QTest::addColumn<QString>("error");
    // The file size shown while downloading, in bytes; 0: the one of the download itself.
    QTest::addColumn<double>("fileSize");
    QTest::addColumn<int>("page");

    const QString unpack = QStringLiteral("The download could not be unpacked: The archive "
                                          "contains an entry outside chrome-linux/");
    const QString disk
        = QStringLiteral("Not enough disk space in /home/someone/.local/share/Quillmarsh/Tarrowin");
    // An address is one long word: it has to break inside.
    const QString address = QStringLiteral(
        "Download failed: refused redirect to "
        "ftp://127.0.0.1/chromium-browser-snapshots/Linux_x64/1234567/chrome-linux.zip");

    QTest::newRow("unknown versions") << -1 << "unknown"
                                      << "idle"
                                      << "" << 0.0 << 0;
    QTest::newRow("seven-digit versions") << 1234567 << "1234567"
                                          << "idle"
                                          << "" << 0.0 << 0;
    QTest::newRow("checking") << 1234567 << "checking"
                              << "idle"
                              << "" << 0.0 << 0;
    QTest::newRow("no builds for this platform") << 1234567 << "unsupported"
                                                 << "idle"
                                                 << "" << 0.0 << 0;
    QTest::newRow("no builds for this platform, unpacking failed") << 1234567 << "unsupported"
                                                                   << "idle" << unpack << 0.0 << 0;
    QTest::newRow("unknown versions, unpacking failed") << -1 << "unknown"
                                                        << "idle" << unpack << 0.0 << 0;
    QTest::newRow("seven-digit versions, disk full") << 1234567 << "1234567"
                                                     << "idle" << disk << 0.0 << 0;
    QTest::newRow("no builds for this platform, disk full") << -1 << "unsupported"
                                                            << "idle" << disk << 0.0 << 0;
    QTest::newRow("seven-digit versions, refused address") << 1234567 << "1234567"
                                                           << "idle" << address << 0.0 << 0;
    QTest::newRow("downloading") << -1 << "1234567"
                                 << "downloading"
                                 << "" << 0.0 << 0;
    QTest::newRow("downloading the largest file") << -1 << "1234567"
                                                  << "downloading"
                                                  << "" << 2147483647.0 << 0;
    QTest::newRow("finishing the installation of a seven-digit build") << -1 << "1234567"
                                                                       << "finishing"
                                                                       << "" << 2147483647.0 << 0;
    QTest::newRow("settings with the update notice") << 1234567 << "1234567"
                                                     << "idle"
                                                     << "" << 0.0 << 1;
    QTest::newRow("builds with a refusal") << 1234567 << "1234567"
                                           << "idle"
                                           << "" << 0.0 << 2;
    QTest::newRow("builds with the bisect's form") << 1234567 << "1234567"
                                                   << "idle"
                                                   << "" << 0.0 << 3;
    QTest::newRow("builds with a bisect's step") << 1234567 << "1234567"
                                                 << "idle"
                                                 << "" << 0.0 << 4;
    QTest::newRow("builds with a bisect's result") << 1234567 << "1234567"
                                                   << "idle"
                                                   << "" << 0.0 << 5;
}

void TestWindowLayout::textsFitTheWindow()
{
    QFETCH(int, current);
    QFETCH(QString, latest);
    QFETCH(QString, state);
    QFETCH(QString, error);
    QFETCH(double, fileSize);
    QFETCH(int, page);

    if (current != -1)
        QSettings().setValue(QStringLiteral("CurrentBuild"), current);
    if (state != QLatin1String("idle")) {
        serveDownloadThatStalls(latest.toInt());
    } else if (latest == QLatin1String("unknown")) {
        m_server->serve(lastChange, "not a number");
    } else if (latest == QLatin1String("unsupported")) {
        BuildSeries::setNative(BuildSeries());
    } else if (latest == QLatin1String("checking")) {
        LoopbackServer::Response held;
        held.held = true;
        m_server->setResponse(lastChange, held);
    } else {
        m_server->serve(lastChange, latest.toUtf8());
    }
    if (page == 1)
        m_server->serve(QStringLiteral("/tarrowin/latest_version"), "9.9.9");
    if (page == 2 || page == 3)
        plantBuilds();
    if (page >= 4)
        QCOMPARE(BisectSeries::serve(*m_server, 6).size(), 6);
    load(true);
    const ViewProbe &view = *m_view;

    if (state == QLatin1String("idle")) {
        if (latest != QLatin1String("checking"))
            QTRY_VERIFY(!view("versionChecker.checking").toBool());
        QVERIFY(view("chromeDownloader.status").toInt() == 0);
    } else {
        QTRY_COMPARE_WITH_TIMEOUT(view("chromeDownloader.status").toInt(), 1, 10000);
        QTRY_COMPARE_WITH_TIMEOUT(view("downloadingBottomPanel.opacity").toDouble(), 1.0, 5000);
    }
    if (state == QLatin1String("finishing")) {
        view(QStringLiteral("downloadStatusText.text = labelled(qsTr(\"Status:\"), "
                            "qsTr(\"Finishing the installation of build %1 \u2026\"))")
                 .arg(latest));
    }
    // The last failure is the downloader's own; its longest kinds go into the line
    // directly, through the view's own formatting.
    if (!error.isEmpty()) {
        view(QStringLiteral("idleStatusText.text = labelled(qsTr(\"Status:\"), %1)")
                 .arg(QStringLiteral("\"%1\"").arg(error)));
    }
    if (fileSize > 0) {
        view(QStringLiteral("fileSizeText.text = labelled(qsTr(\"File size:\"), "
                            "calculateFileSize(%1) + \" (100%)\")")
                 .arg(fileSize, 0, 'f', 0));
    }
    if (page == 1) {
        QTRY_VERIFY_WITH_TIMEOUT(view("systemTrayIcon.updateAvailable").toBool(), 10000);
        view("updateIntervalSetting.value = 35791");
        view("openSettings()");
    }
    if (page == 2) {
        view("openBuilds()");
        QTRY_COMPARE(view("buildList.count").toInt(), 3);
        // The longest refusal there is, for the longest number.
        view("buildActions.remove(1234567)");
        QVERIFY(view("buildsMessageText.text").toString().contains("is current"));
    }
    if (page == 3) {
        view("openBuilds()");
        view("findBrokenBuildLink.activated()");
        QVERIFY(view("bisectGoodField.visible").toBool());
    }
    if (page >= 4)
        QVERIFY(BisectSeries::bringTo(view, page == 4 ? "Testing" : "Found"));
    // A grab lays out and draws the window as the next frame would.
    const QImage picture = m_viewer->window()->grabWindow();
    QVERIFY(!picture.isNull());
    const qreal ratio = picture.width() / qreal(m_viewer->window()->width());
    if (page == 0 && state == QLatin1String("idle"))
        QCOMPARE(view("currentVersionText.lineCount").toInt(), 1);
    QQuickItem *tab = item(QStringList { "statusTab", "settingsTab" }.value(page, "buildsTab"));
    QVERIFY(tab && tab->isVisible());
    const QRectF pageArea
        = tab->mapRectToScene(QRectF(0, 0, tab->width(), tab->height()))
              .intersected(QRectF(0, 0, m_viewer->window()->width(), m_viewer->window()->height()));
    QList<Painted> painted;
    collectPainted(tab, painted);
    // The result: its line, the link and two buttons.
    QVERIFY(painted.size() >= (page == 5 ? 4 : 5));
    // Every text stands out from its background, in light and dark colour schemes alike:
    // texts, the controls' labels and fields, and the tabs' titles.
    for (QQuickItem *it : m_viewer->window()->rootObject()->findChildren<QQuickItem *>()) {
        if (!(it->inherits("QQuickText") || it->inherits("QQuickTextInput")) || !it->isVisible()
            || it->property("text").toString().isEmpty())
            continue;
        // Where the letters are: a check box's label is padded clear of its box.
        const QRectF letters(
            it->property("leftPadding").toReal(), it->property("topPadding").toReal(),
            it->property("contentWidth").toReal(), it->property("contentHeight").toReal());
        const QRectF area = it->mapRectToScene(letters);
        const double found = renderedContrast(
            picture,
            QRectF(area.topLeft() * ratio, area.size() * ratio).toAlignedRect() & picture.rect());
        QVERIFY2(found >= 4.5,
                 qPrintable(describe(it) + QStringLiteral(" has a contrast of %1").arg(found)));
    }
    for (const Painted &shown : std::as_const(painted)) {
        QQuickItem *it = shown.item;
        if (it->inherits("QQuickText")) {
            // Wrapped lines stay inside the text's width and the text's lines inside its
            // height; nothing is cut off with an ellipsis.
            QVERIFY2(it->property("paintedWidth").toReal() <= it->width() + 0.5,
                     qPrintable(describe(it)));
            QVERIFY2(it->property("paintedHeight").toReal() <= it->height() + 0.5,
                     qPrintable(describe(it)));
            QVERIFY2(!it->property("truncated").toBool(), qPrintable(describe(it)));
        } else if (it->inherits("QQuickControl")) {
            // A control's text is whole: an entry field's text inside its field, anything
            // else at least as wide as its content asks for.
            auto *content = it->property("contentItem").value<QQuickItem *>();
            if (content && content->inherits("QQuickTextInput")) {
                QVERIFY2(content->property("contentWidth").toReal() <= content->width() + 0.5,
                         qPrintable(describe(it)
                                    + QStringLiteral(" shows %1 of %2 pixels")
                                          .arg(content->width())
                                          .arg(content->property("contentWidth").toReal())));
            } else {
                QVERIFY2(it->width() >= it->implicitWidth() - 0.5, qPrintable(describe(it)));
            }
        }
        QVERIFY2(pageArea.contains(shown.area),
                 qPrintable(QStringLiteral("%1 at %2,%3 %4x%5 leaves the page")
                                .arg(describe(it))
                                .arg(shown.area.x())
                                .arg(shown.area.y())
                                .arg(shown.area.width())
                                .arg(shown.area.height())));
        // Nothing is drawn over anything else.
        for (const Painted &other : std::as_const(painted)) {
            if (other.item == it || isWithin(other.item, it) || isWithin(it, other.item))
                continue;
            QVERIFY2(!shown.area.intersects(other.area),
                     qPrintable(describe(it) + " overlaps " + describe(other.item)));
        }
    }
}

void TestWindowLayout::tabReachesEveryControl_data()
{
    QTest::addColumn<int>("page");
    QTest::addColumn<QStringList>("controls");
    // Said in the view once the tab is shown; empty: nothing.
    QTest::addColumn<QString>("then");
    // The state a bisect is brought to from the tab first ("Testing", "Found"); empty: none.
    QTest::addColumn<QString>("bisect");
    QTest::newRow("status") << 0 << QStringList { "credits", "checkForUpdatesButton" } << ""
                            << "";
    QTest::newRow("settings") << 1 << QStringList { "updateIntervalSetting",
                                                    "updateFactorSetting",
                                                    "runOnStartupSetting",
                                                    "showNotificationsSetting",
                                                    "downloadOnMeteredSetting",
                                                    "downloadOnBatterySetting",
                                                    "downloadUpdateButton" }
                              << ""
                              << "";
    QTest::newRow("builds") << 2 << QStringList { "buildList",          "startBuildButton",
                                                  "makeCurrentButton",  "pinBuildButton",
                                                  "removeBuildButton",  "buildQueryField",
                                                  "installBuildButton", "findBrokenBuildLink" }
                            << ""
                            << "";
    QTest::newRow("the bisect's form")
        << 2
        << QStringList { "bisectGoodField", "bisectBadField", "bisectCopyProfileBox",
                         "bisectStartButton", "bisectCancelButton" }
        << "findBrokenBuildLink.activated()"
        << "";
    QTest::newRow("a bisect's step") << 2
                                     << QStringList { "bisectGoodButton", "bisectBadButton",
                                                      "bisectSkipButton", "bisectStopButton" }
                                     << ""
                                     << "Testing";
    QTest::newRow("a bisect's result")
        << 2 << QStringList { "changeLogLink", "bisectKeepButton", "bisectStopButton" } << ""
        << "Found";
}

void TestWindowLayout::tabReachesEveryControl()
{
    QFETCH(int, page);
    QFETCH(QStringList, controls);
    QFETCH(QString, then);
    QFETCH(QString, bisect);
    m_server->serve(QStringLiteral("/tarrowin/latest_version"), "9.9.9");
    if (!bisect.isEmpty())
        QCOMPARE(BisectSeries::serve(*m_server, 6).size(), 6);
    else if (page == 2)
        plantBuilds();
    load(true);
    const ViewProbe &view = *m_view;
    QTRY_VERIFY_WITH_TIMEOUT(view("systemTrayIcon.updateAvailable").toBool(), 10000);
    view(QStringList { "openWindow()", "openSettings()", "openBuilds()" }.at(page));
    QVERIFY(QTest::qWaitForWindowActive(m_viewer->window()));
    if (!then.isEmpty())
        view(then);
    if (!bisect.isEmpty())
        QVERIFY(BisectSeries::bringTo(view, bisect));

    QList<QQuickItem *> expected;
    for (const QString &id : std::as_const(controls)) {
        expected.append(item(id));
        QVERIFY2(expected.last(), qPrintable(id));
    }
    // The tabs themselves, so the keyboard can change pages.
    const QList<QQuickItem *> tabs = tabButtons();
    QCOMPARE(tabs.size(), 3);
    expected.append(tabs);

    QSet<QQuickItem *> reached;
    for (int press = 0; press < 3 * expected.size() && reached.size() < expected.size(); ++press) {
        QTest::keyClick(m_viewer->window(), Qt::Key_Tab);
        for (QQuickItem *control : std::as_const(expected)) {
            if (isWithin(m_viewer->window()->activeFocusItem(), control))
                reached.insert(control);
        }
    }
    for (QQuickItem *control : std::as_const(expected)) {
        QVERIFY2(reached.contains(control), qPrintable(describe(control) + " is never reached"));
        // What a screen reader says for it.
        QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(control);
        QVERIFY2(accessible, qPrintable(describe(control)));
        QVERIFY2(!accessible->text(QAccessible::Name).trimmed().isEmpty(),
                 qPrintable(describe(control) + " has no accessible name"));
    }
}

void TestWindowLayout::creditsLinkOpensFromTheKeyboard()
{
    QDesktopServices::setUrlHandler(QStringLiteral("http"), this, "openUrl");
    load(true);
    QVERIFY(QTest::qWaitForWindowActive(m_viewer->window()));
    QQuickItem *credits = item(QStringLiteral("credits"));
    QVERIFY(credits);
    for (int press = 0; press < 10 && !credits->hasActiveFocus(); ++press)
        QTest::keyClick(m_viewer->window(), Qt::Key_Tab);
    QVERIFY(credits->hasActiveFocus());

    QTest::keyClick(m_viewer->window(), Qt::Key_Return);
    QTest::keyClick(m_viewer->window(), Qt::Key_Space);
    QCOMPARE(m_openedUrls, (QList<QUrl> { m_server->url(), m_server->url() }));

    QAccessibleInterface *accessible = QAccessible::queryAccessibleInterface(credits);
    QVERIFY(accessible);
    QCOMPARE(accessible->role(), QAccessible::Link);
    QVERIFY(accessible->text(QAccessible::Name).startsWith(QStringLiteral("A Quillmarsh utility")));
}

void TestWindowLayout::escapeHidesTheWindow_data()
{
    QTest::addColumn<QString>("call");
    QTest::addColumn<QString>("focused");
    QTest::newRow("nothing focused") << "openWindow()"
                                     << "";
    QTest::newRow("the button") << "openWindow()"
                                << "checkForUpdatesButton";
    QTest::newRow("the count being typed") << "openSettings()"
                                           << "updateIntervalSetting";
}

void TestWindowLayout::escapeHidesTheWindow()
{
    QFETCH(QString, call);
    QFETCH(QString, focused);
    load(true);
    (*m_view)(call);
    QVERIFY(QTest::qWaitForWindowActive(m_viewer->window()));
    if (!focused.isEmpty()) {
        item(focused)->forceActiveFocus(Qt::TabFocusReason);
        QVERIFY(isWithin(m_viewer->window()->activeFocusItem(), item(focused)));
    }
    QTest::keyClick(m_viewer->window(), Qt::Key_Escape);
    QTRY_VERIFY(!m_viewer->isVisible());
    // It comes back as it was asked for, as from the tray.
    (*m_view)(call);
    QTRY_VERIFY(m_viewer->isVisible());
}

void TestWindowLayout::nothingAnimatesWhileHidden()
{
    FakeInstaller::prepare(m_environment.tempDir());
    m_server->serve(lastChange, "123456");
    m_server->serve(QStringLiteral("/chromium-browser-snapshots/Win_x64/123456/mini_installer.exe"),
                    FakeInstaller::waitingForRelease(0));
    load(false);
    const ViewProbe &view = *m_view;
    QVERIFY(!m_viewer->isVisible());
    // A tray start has no panels at all; a window shown once keeps them a while hidden, as
    // here.
    m_viewer->makeWindow();
    QVERIFY(m_viewer->rootObject()->setProperty("contentWanted", true));

    // The change of panels in a hidden window is immediate: no fade runs for nobody.
    auto *downloader
        = qobject_cast<ChromeDownloader *>(view.object(QStringLiteral("chromeDownloader")));
    QVERIFY(downloader);
    QList<double> opacityAtChange;
    connect(downloader, &ChromeDownloader::currentStatusChanged, this,
            [&] { opacityAtChange.append(view("downloadingBottomPanel.opacity").toDouble()); });
    QTRY_COMPARE_WITH_TIMEOUT(view("chromeDownloader.status").toInt(), 2, 20000);
    // Downloading, then installing: the download panel was whole from the first change.
    QCOMPARE(opacityAtChange, (QList<double> { 1.0, 1.0 }));

    // Installing with the window hidden: no stripes moving.
    QVERIFY(!view("downloadProgressBar.indeterminate").toBool());
    // Shown, it looks as it always did.
    view("openWindow()");
    QVERIFY(QTest::qWaitForWindowExposed(m_viewer->window()));
    QTRY_VERIFY(view("downloadProgressBar.indeterminate").toBool());
    m_viewer->window()->hide();
    QTRY_VERIFY(!view("downloadProgressBar.indeterminate").toBool());

    QFile release(qEnvironmentVariable("TARROWIN_INSTALLER_RELEASE"));
    QVERIFY(release.open(QIODevice::WriteOnly));
    QTRY_COMPARE_WITH_TIMEOUT(view("chromeDownloader.status").toInt(), 0, 20000);
    QCOMPARE(view("idleBottomPanel.opacity").toDouble(), 1.0);
}

void TestWindowLayout::viewIsCompiledAheadOfTime()
{
    const QDir cache(qEnvironmentVariable("QML_DISK_CACHE_PATH"));
    const auto cachedUnits
        = [&] { return cache.entryList({ QStringLiteral("*.qmlc") }, QDir::Files).size(); };
    load(false);
    // The window's contents too, made when it is first shown.
    (*m_view)("openWindow()");
    QVERIFY((*m_view)("content !== null").toBool());
    // The view, its module and every component it uses came compiled with the program.
    QCOMPARE(cachedUnits(), 0);

    // A file the build did not compile is compiled now and cached: the check above can see
    // a compilation when there is one.
    const QString probe = QDir(m_environment.tempDir()).filePath(QStringLiteral("Probe.qml"));
    QFile file(probe);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write("import QtQuick\nItem { property int answer: 6 * 7 }\n");
    file.close();
    QQmlComponent component(m_viewer->engine(), QUrl::fromLocalFile(probe));
    std::unique_ptr<QObject> object(component.create());
    QVERIFY2(object, qPrintable(component.errorString()));
    QTRY_COMPARE(cachedUnits(), 1);
}

TARROWIN_TEST_MAIN(TestWindowLayout, false)
#include "tst_windowlayout.moc"

#include "common/endpoints.h"
#include "support/loopbackserver.h"
#include "support/testenvironment.h"
#include "tray/fileiconengine.h"
#include "tray/runatlogon.h"
#include "tray/systemtrayicon.h"

#include <QMenu>
#include <QNetworkReply>
#include <QPainter>
#include <QSettings>
#include <QSignalSpy>

namespace {

const QString versionPath = QStringLiteral("/tarrowin/latest_version");

QVariantMap entry(const QString &name, const QString &label = QString(),
                  const QVariantMap &extra = QVariantMap())
{
    QVariantMap map = extra;
    map.insert(QStringLiteral("name"), name);
    if (!label.isNull())
        map.insert(QStringLiteral("label"), label);
    return map;
}

// The list the main view gives the element.
QVariantList viewMenu()
{
    return { entry("restore", "&Open", { { "default", true } }), entry("settings", "&Settings"),
             entry("separator"), entry("quit", "&Exit") };
}

using Clicks = QList<QPair<QString, bool>>;

} // namespace

class TestSystemTrayIcon : public QObject
{
    Q_OBJECT

public:
    explicit TestSystemTrayIcon(TestEnvironment &) { }

private slots:
    void init();

    void settersNotifyOnlyOnChange_data();
    void settersNotifyOnlyOnChange();
    void destructionHidesTheIcon();
    void fileIconDrawsAsQtsOwn_data();
    void fileIconDrawsAsQtsOwn();
    void activation_data();
    void activation();
    void menuFromTheViewsList();
    void menuRebuildsOnEveryAssignment();
    void menuReporting_data();
    void menuReporting();
    void versionFile_data();
    void versionFile();
    void brokenVersionServers_data();
    void brokenVersionServers();
    void updateBalloonClickIsTold();
    void firstStartRegistersBeforeAskingForTheVersion();
    void registrationChanges();
    void existingChoiceLeavesTheEntryAlone();

private:
    static QSystemTrayIcon *platformIcon(SystemTrayIcon &element);
    static QMenu *menuOf(SystemTrayIcon &element);
    // Waits until the element's version request has been answered and evaluated.
    bool waitForVersionCheck(SystemTrayIcon &element);

    std::unique_ptr<LoopbackServer> m_server;
};

void TestSystemTrayIcon::init()
{
    QSettings().clear();
    QFile::remove(RunAtLogon::autostartFile());
    m_server = std::make_unique<LoopbackServer>();
    m_server->serve(versionPath, "0.1.2");
    Endpoints::setMaker(m_server->url());
}

QSystemTrayIcon *TestSystemTrayIcon::platformIcon(SystemTrayIcon &element)
{
    return element.findChild<QSystemTrayIcon *>();
}

QMenu *TestSystemTrayIcon::menuOf(SystemTrayIcon &element)
{
    return platformIcon(element)->contextMenu();
}

bool TestSystemTrayIcon::waitForVersionCheck(SystemTrayIcon &element)
{
    return QTest::qWaitFor(
        [&] {
            return m_server->requestCount(versionPath) == 1
                && element.findChildren<QNetworkReply *>().isEmpty();
        },
        10000);
}

void TestSystemTrayIcon::settersNotifyOnlyOnChange_data()
{
    QTest::addColumn<QByteArray>("property");
    QTest::addColumn<QVariant>("value");
    QTest::newRow("iconSource") << QByteArray("iconSource")
                                << QVariant(QStringLiteral(":/images/icons/icon.png"));
    QTest::newRow("toolTip") << QByteArray("toolTip")
                             << QVariant(QStringLiteral("Tarrowin (Chromium build 5)"));
    QTest::newRow("visible") << QByteArray("visible") << QVariant(true);
}

void TestSystemTrayIcon::settersNotifyOnlyOnChange()
{
    QFETCH(QByteArray, property);
    QFETCH(QVariant, value);
    SystemTrayIcon element;
    if (property == "visible")
        element.setIconSource(QStringLiteral(":/images/icons/icon.png"));
    const QMetaProperty meta
        = element.metaObject()->property(element.metaObject()->indexOfProperty(property));
    QSignalSpy notified(&element, meta.notifySignal());

    // The initial value again: nothing.
    QVERIFY(element.setProperty(property, element.property(property)));
    QCOMPARE(notified.size(), 0);

    QVERIFY(element.setProperty(property, value));
    QVERIFY(element.setProperty(property, value));
    QCOMPARE(notified.size(), 1);
    QCOMPARE(notified.first().first(), value);

    QSystemTrayIcon *icon = platformIcon(element);
    if (property == "toolTip")
        QCOMPARE(icon->toolTip(), value.toString());
    else if (property == "visible")
        QVERIFY(icon->isVisible());
    else
        QVERIFY(!icon->icon().isNull());
}

void TestSystemTrayIcon::fileIconDrawsAsQtsOwn_data()
{
    QTest::addColumn<QString>("file");
    QTest::addColumn<QSize>("size");
    const QString picture = QStringLiteral(":/images/icons/icon.png");
    QTest::newRow("tray, 22 px") << picture << QSize(22, 22);
    QTest::newRow("larger than the picture: not enlarged") << picture << QSize(512, 512);
    QTest::newRow("not square: fitted") << picture << QSize(48, 24);
    QTest::newRow("no such file: an icon of no size") << ":/no/such.png" << QSize(22, 22);
}

void TestSystemTrayIcon::fileIconDrawsAsQtsOwn()
{
    QFETCH(QString, file);
    QFETCH(QSize, size);
    const QIcon icons[] = { QIcon(file), FileIconEngine::icon(file) };
    QImage painted[] = { QImage(size, QImage::Format_ARGB32), QImage(size, QImage::Format_ARGB32) };
    for (int i = 0; i < 2; ++i) {
        painted[i].fill(Qt::transparent);
        QPainter painter(&painted[i]); // as the X tray draws its icon
        icons[i].paint(&painter, painted[i].rect());
    }
    QCOMPARE(icons[1].isNull(), icons[0].isNull());
    QCOMPARE(icons[1].availableSizes(), icons[0].availableSizes());
    QCOMPARE(icons[1].pixmap(size).toImage(), icons[0].pixmap(size).toImage());
    QCOMPARE(painted[1], painted[0]);
}

void TestSystemTrayIcon::destructionHidesTheIcon()
{
    for (const bool shown : { true, false }) {
        auto element = std::make_unique<SystemTrayIcon>();
        element->setVisible(shown);
        QSignalSpy visible(element.get(), &SystemTrayIcon::visibleChanged);
        element.reset();
        QCOMPARE(visible.size(), shown ? 1 : 0);
        if (shown)
            QCOMPARE(visible.first().first().toBool(), false);
    }
}

void TestSystemTrayIcon::activation_data()
{
    QTest::addColumn<QSystemTrayIcon::ActivationReason>("reason");
    QTest::addColumn<QByteArray>("signal");
    QTest::newRow("single click") << QSystemTrayIcon::Trigger << QByteArray("trayIconClicked()");
    QTest::newRow("double click") << QSystemTrayIcon::DoubleClick
                                  << QByteArray("trayIconDoubleClicked()");
    QTest::newRow("middle click") << QSystemTrayIcon::MiddleClick
                                  << QByteArray("trayIconMiddleClicked()");
    QTest::newRow("context") << QSystemTrayIcon::Context << QByteArray("trayIconRightClicked()");
    QTest::newRow("unknown") << QSystemTrayIcon::Unknown << QByteArray();
}

void TestSystemTrayIcon::activation()
{
    QFETCH(QSystemTrayIcon::ActivationReason, reason);
    QFETCH(QByteArray, signal);
    SystemTrayIcon element;
    const QList<QByteArray> all { "trayIconClicked()", "trayIconDoubleClicked()",
                                  "trayIconMiddleClicked()", "trayIconRightClicked()" };
    std::vector<std::unique_ptr<QSignalSpy>> spies;
    for (const QByteArray &name : all) {
        const QMetaMethod method
            = element.metaObject()->method(element.metaObject()->indexOfSignal(name));
        spies.push_back(std::make_unique<QSignalSpy>(&element, method));
    }
    emit platformIcon(element)->activated(reason);
    for (int i = 0; i < all.size(); ++i)
        QCOMPARE(spies[i]->size(), all[i] == signal ? 1 : 0);
}

void TestSystemTrayIcon::menuFromTheViewsList()
{
    SystemTrayIcon element;
    QSignalSpy changed(&element, &SystemTrayIcon::menuChanged);
    element.setMenu(viewMenu());
    QCOMPARE(changed.size(), 1);
    QCOMPARE(element.menu(), viewMenu());

    QMenu *menu = menuOf(element);
    const QList<QAction *> actions = menu->actions();
    QCOMPARE(actions.size(), 4);
    QCOMPARE(actions[0]->text(), QStringLiteral("&Open"));
    QCOMPARE(actions[1]->text(), QStringLiteral("&Settings"));
    QVERIFY(actions[2]->isSeparator());
    QCOMPARE(actions[3]->text(), QStringLiteral("&Exit"));
    QCOMPARE(menu->defaultAction(), actions[0]);

    QSignalSpy clicked(&element, &SystemTrayIcon::menuItemClicked);
    actions[3]->trigger();
    element.defaultMenuAction();
    QCOMPARE(clicked.size(), 2);
    QCOMPARE(clicked[0], (QVariantList { QStringLiteral("quit"), false }));
    QCOMPARE(clicked[1], (QVariantList { QStringLiteral("restore"), false }));
}

void TestSystemTrayIcon::menuRebuildsOnEveryAssignment()
{
    SystemTrayIcon element;
    QSignalSpy changed(&element, &SystemTrayIcon::menuChanged);
    // Without a default item there is nothing to trigger.
    QSignalSpy clicked(&element, &SystemTrayIcon::menuItemClicked);
    element.defaultMenuAction();
    QCOMPARE(clicked.size(), 0);

    element.setMenu(viewMenu());
    element.setMenu(viewMenu());
    QCOMPARE(changed.size(), 2);
    QCOMPARE(menuOf(element)->actions().size(), 4);

    element.setMenu({});
    QCOMPARE(changed.size(), 3);
    QVERIFY(menuOf(element)->actions().isEmpty());
    QVERIFY(!menuOf(element)->defaultAction());
}

void TestSystemTrayIcon::menuReporting_data()
{
    QTest::addColumn<QVariantList>("menu");
    QTest::addColumn<QList<int>>("chosen"); // action indices, or -1 for the default item
    QTest::addColumn<Clicks>("reported");

    QTest::newRow("entry that is no map")
        << QVariantList { QStringLiteral("plain text"), 42, entry("quit", "&Exit") }
        << QList<int> { 0, 1, 2 } << Clicks { { "", false }, { "", false }, { "quit", false } };
    // Entries are told by name, never by label: labels are translated and may repeat.
    QTest::newRow("equal labels report their own names")
        << QVariantList { entry("one", "Same"), entry("two", "Same") } << QList<int> { 1, 0 }
        << Clicks { { "two", false }, { "one", false } };
    QTest::newRow("empty label after a separator")
        << QVariantList { entry("separator"), entry("nameless") } << QList<int> { 1 }
        << Clicks { { "nameless", false } };
    QTest::newRow("labelled separator before an equal label")
        << QVariantList { entry("separator", "&Open"), entry("restore", "&Open") }
        << QList<int> { 1 } << Clicks { { "restore", false } };
    QTest::newRow("checkable toggles") << QVariantList { entry(
        "notify", "Notify", { { "checkable", true }, { "checked", true }, { "default", true } }) }
                                       << QList<int> { 0, 0, -1 }
                                       << Clicks { { "notify", false },
                                                   { "notify", true },
                                                   { "notify", false } };
    QTest::newRow("checked without checkable is ignored")
        << QVariantList { entry("plain", "Plain", { { "checked", true }, { "default", true } }) }
        << QList<int> { -1 } << Clicks { { "plain", false } };
    QTest::newRow("the later of two defaults")
        << QVariantList { entry("first", "First", { { "default", true } }),
                          entry("second", "Second", { { "default", true } }) }
        << QList<int> { -1 } << Clicks { { "second", false } };
}

void TestSystemTrayIcon::menuReporting()
{
    QFETCH(QVariantList, menu);
    QFETCH(QList<int>, chosen);
    QFETCH(Clicks, reported);

    SystemTrayIcon element;
    element.setMenu(menu);
    QSignalSpy clicked(&element, &SystemTrayIcon::menuItemClicked);
    const QList<QAction *> actions = menuOf(element)->actions();
    for (int index : chosen) {
        if (index < 0)
            element.defaultMenuAction();
        else
            actions.at(index)->trigger();
    }
    Clicks actual;
    for (const QVariantList &click : std::as_const(clicked))
        actual.append({ click[0].toString(), click[1].toBool() });
    QCOMPARE(actual, reported);
}

void TestSystemTrayIcon::versionFile_data()
{
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<bool>("announced");

    QTest::newRow("0.1.3") << QByteArray("0.1.3") << true;
    QTest::newRow("0.2.0") << QByteArray("0.2.0") << true;
    QTest::newRow("1.0.0") << QByteArray("1.0.0") << true;
    QTest::newRow("10.0.0 reads as 1.0.0") << QByteArray("10.0.0") << true;
    QTest::newRow("0.1.3 with a line break") << QByteArray("0.1.3\n") << true;
    QTest::newRow("0.1.2") << QByteArray("0.1.2") << false;
    QTest::newRow("0.1.2 with a line break") << QByteArray("0.1.2\n") << false;
    QTest::newRow("0.0.9") << QByteArray("0.0.9") << false;
    QTest::newRow("0.1.10 reads as 0.1.1") << QByteArray("0.1.10") << false;
    QTest::newRow("0.10.0 reads as 0.1.0") << QByteArray("0.10.0") << false;
    QTest::newRow("empty") << QByteArray() << false;
    QTest::newRow("leading blank hides the digits") << QByteArray(" 0.1.3") << false;
    QTest::newRow("other separators are not examined") << QByteArray("0-1-3") << true;
    QTest::newRow("text ends at a zero byte") << QByteArray("0.1\0"
                                                            "9",
                                                            5)
                                              << false;
    QTest::newRow("largest body read") << QByteArray("0.1.3").leftJustified(64, ' ') << true;
}

void TestSystemTrayIcon::versionFile()
{
    QFETCH(QByteArray, text);
    QFETCH(bool, announced);
    m_server->serve(versionPath, text);

    SystemTrayIcon element;
    QSignalSpy update(&element, &SystemTrayIcon::updateAvailableChanged);
    QVERIFY(waitForVersionCheck(element));
    QCOMPARE(element.updateAvailable(), announced);
    QCOMPARE(update.size(), announced ? 1 : 0);
}

void TestSystemTrayIcon::brokenVersionServers_data()
{
    QTest::addColumn<LoopbackServer::Response>("response");

    LoopbackServer::Response oversize;
    oversize.body = QByteArray("0.1.3").leftJustified(65, ' ');
    QTest::newRow("one byte over the cap") << oversize;

    LoopbackServer::Response endless;
    endless.body = "0.1.3 ";
    endless.endless = true;
    QTest::newRow("endless") << endless;

    LoopbackServer::Response stalled;
    stalled.body = "0.1.3";
    stalled.stallAfter = 0;
    QTest::newRow("stalled") << stalled;

    LoopbackServer::Response failing;
    failing.status = 500;
    failing.body = "0.1.3";
    QTest::newRow("error page") << failing;
}

void TestSystemTrayIcon::brokenVersionServers()
{
    QFETCH(LoopbackServer::Response, response);
    m_server->setResponse(versionPath, response);
    SystemTrayIcon element(300);
    QVERIFY(waitForVersionCheck(element));
    QVERIFY(!element.updateAvailable());
}

void TestSystemTrayIcon::updateBalloonClickIsTold()
{
    m_server->serve(versionPath, "0.1.3");
    SystemTrayIcon element;
    QSignalSpy clicked(&element, &SystemTrayIcon::messageClicked);
    QVERIFY(waitForVersionCheck(element));
    QVERIFY(element.updateAvailable());

    emit platformIcon(element)->messageClicked();
    element.showMessage(QStringLiteral("Downloading Chromium build 1."));
    emit platformIcon(element)->messageClicked();
    QCOMPARE(clicked.size(), 2);
    QCOMPARE(clicked[0].first().toBool(), true);
    QCOMPARE(clicked[1].first().toBool(), false);
}

void TestSystemTrayIcon::firstStartRegistersBeforeAskingForTheVersion()
{
    bool registeredFirst = false;
    connect(m_server.get(), &LoopbackServer::requested, this, [&] {
        registeredFirst = QSettings().value(QStringLiteral("RunOnStartup")).toBool()
            && QFile::exists(RunAtLogon::autostartFile());
    });
    SystemTrayIcon element;
    QVERIFY(waitForVersionCheck(element));
    QVERIFY(registeredFirst);
    QCOMPARE(QSettings().value(QStringLiteral("RunOnStartup")).toString(), QStringLiteral("true"));
}

void TestSystemTrayIcon::registrationChanges()
{
    SystemTrayIcon element;
    QVERIFY(QFile::exists(RunAtLogon::autostartFile()));

    element.runOnStartup(false);
    QVERIFY(!QFile::exists(RunAtLogon::autostartFile()));
    QCOMPARE(QSettings().value(QStringLiteral("RunOnStartup")).toString(), QStringLiteral("false"));
    // Again with no entry left: harmless.
    element.runOnStartup(false);
    QCOMPARE(QSettings().value(QStringLiteral("RunOnStartup")).toString(), QStringLiteral("false"));

    element.runOnStartup(true);
    QFile file(RunAtLogon::autostartFile());
    QVERIFY(file.open(QIODevice::ReadOnly));
    const QByteArray first = file.readAll();
    file.close();
    element.runOnStartup(true);
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(file.readAll(), first);
    const QDir autostart = QFileInfo(RunAtLogon::autostartFile()).dir();
    QCOMPARE(autostart.entryList(QDir::Files | QDir::Hidden), QStringList { "Tarrowin.desktop" });
}

void TestSystemTrayIcon::existingChoiceLeavesTheEntryAlone()
{
    QSettings().setValue(QStringLiteral("RunOnStartup"), false);
    QDir().mkpath(QFileInfo(RunAtLogon::autostartFile()).absolutePath());
    QFile foreign(RunAtLogon::autostartFile());
    QVERIFY(foreign.open(QIODevice::WriteOnly));
    foreign.write("[Desktop Entry]\nExec=put-here-by-someone-else\n");
    foreign.close();

    SystemTrayIcon element;
    QVERIFY(waitForVersionCheck(element));
    QVERIFY(foreign.open(QIODevice::ReadOnly));
    QCOMPARE(foreign.readAll(), QByteArray("[Desktop Entry]\nExec=put-here-by-someone-else\n"));
    QCOMPARE(QSettings().value(QStringLiteral("RunOnStartup")).toString(), QStringLiteral("false"));
}

TARROWIN_TEST_MAIN(TestSystemTrayIcon, false)
#include "tst_systemtrayicon.moc"

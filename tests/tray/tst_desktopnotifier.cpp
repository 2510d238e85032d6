#include "common/appidentity.h"
#include "common/endpoints.h"
#include "support/fakenetworkmanager.h"
#include "support/fakeupower.h"
#include "support/loopbackserver.h"
#include "support/notificationserver.h"
#include "support/privatebus.h"
#include "support/testenvironment.h"
#include "tray/desktopnotifier.h"
#include "tray/meteredconnection.h"
#include "tray/powersupply.h"
#include "tray/systemtrayicon.h"

#include <QDBusConnection>
#include <QSettings>
#include <QSignalSpy>

namespace {
const QString versionPath = QStringLiteral("/tarrowin/latest_version");
} // namespace

class TestDesktopNotifier : public QObject
{
    Q_OBJECT

public:
    explicit TestDesktopNotifier(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void noticeArrivesWhole_data();
    void noticeArrivesWhole();
    void replacing_data();
    void replacing();
    void clickIsTold_data();
    void clickIsTold();
    void fallsBackToQtsBalloon_data();
    void fallsBackToQtsBalloon();
    // Not a notice, but the tray room's other service on a bus: NetworkManager's word.
    void meteredFollowsNetworkManager_data();
    void meteredFollowsNetworkManager();
    void lowBatteryFollowsUPower_data();
    void lowBatteryFollowsUPower();

private:
    std::unique_ptr<SystemTrayIcon> trayIcon() const;
    // Waits for the notice titled summary to reach the service.
    NotificationServer::Call waitForNotice(const QString &summary) const;

    TestEnvironment &m_environment;
    std::unique_ptr<PrivateBus> m_bus;
    std::unique_ptr<LoopbackServer> m_maker;
    std::unique_ptr<NotificationServer> m_server;
    QString m_clientName;
    QString m_serverName;
    int m_round = 0;
};

void TestDesktopNotifier::initTestCase()
{
    m_bus = std::make_unique<PrivateBus>(m_environment.tempDir());
    QVERIFY2(m_bus->address().startsWith(QLatin1String("unix:")), "dbus-daemon did not start");
}

void TestDesktopNotifier::init()
{
    QSettings().clear();
    m_maker = std::make_unique<LoopbackServer>();
    m_maker->serve(versionPath, "0.1.2");
    Endpoints::setMaker(m_maker->url());

    ++m_round;
    m_clientName = QStringLiteral("client-%1").arg(m_round);
    m_serverName = QStringLiteral("server-%1").arg(m_round);
    QVERIFY(QDBusConnection::connectToBus(m_bus->address(), m_clientName).isConnected());
    const QDBusConnection serverBus = QDBusConnection::connectToBus(m_bus->address(), m_serverName);
    QVERIFY(serverBus.isConnected());
    m_server = std::make_unique<NotificationServer>(serverBus);
    QVERIFY(m_server->registered());
}

void TestDesktopNotifier::cleanup()
{
    m_server.reset();
    QDBusConnection::disconnectFromBus(m_clientName);
    QDBusConnection::disconnectFromBus(m_serverName);
}

std::unique_ptr<SystemTrayIcon> TestDesktopNotifier::trayIcon() const
{
    return std::make_unique<SystemTrayIcon>(30000, QDBusConnection(m_clientName));
}

NotificationServer::Call TestDesktopNotifier::waitForNotice(const QString &summary) const
{
    NotificationServer::Call found;
    // Not found, the empty call fails the comparisons that follow.
    (void)QTest::qWaitFor(
        [&] {
            for (const NotificationServer::Call &call : m_server->calls()) {
                if (call.summary == summary)
                    found = call;
            }
            return !found.summary.isNull();
        },
        10000);
    return found;
}

void TestDesktopNotifier::noticeArrivesWhole_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("title");
    QTest::addColumn<SystemTrayIcon::MessageType>("type");
    QTest::addColumn<int>("timeout");
    QTest::addColumn<QString>("summary");
    QTest::addColumn<QString>("body");
    QTest::addColumn<int>("urgency");

    QTest::newRow("status") << "Downloading Chromium build 1234567."
                            << "Downloading ..." << SystemTrayIcon::InfoMessage << 5000
                            << "Downloading ..."
                            << "Downloading Chromium build 1234567." << 1;
    QTest::newRow("failure") << "Download failed: Connection refused"
                             << "Chromium build 1234567 was not installed"
                             << SystemTrayIcon::WarningMessage << 10000
                             << "Chromium build 1234567 was not installed"
                             << "Download failed: Connection refused" << 1;
    QTest::newRow("critical") << "Message"
                              << "Title" << SystemTrayIcon::CriticalMessage << 10000 << "Title"
                              << "Message" << 2;
    QTest::newRow("text only, as the defaults")
        << "Message" << QString() << SystemTrayIcon::OtherMessage << 10000 << "Message" << QString()
        << 1;
    // Services render markup in bodies: a path is shown as the path it is.
    QTest::newRow("markup characters stay text")
        << "Not enough disk space in /home/a&b/<x>"
        << "Chromium build 5 was not installed" << SystemTrayIcon::WarningMessage << 10000
        << "Chromium build 5 was not installed"
        << "Not enough disk space in /home/a&amp;b/&lt;x&gt;" << 1;
}

void TestDesktopNotifier::noticeArrivesWhole()
{
    QFETCH(QString, text);
    QFETCH(QString, title);
    QFETCH(SystemTrayIcon::MessageType, type);
    QFETCH(int, timeout);
    QFETCH(QString, summary);
    QFETCH(QString, body);
    QFETCH(int, urgency);

    auto element = trayIcon();
    element->showMessage(text, title, type, timeout);
    const NotificationServer::Call call = waitForNotice(summary);
    QCOMPARE(call.summary, summary);
    QCOMPARE(call.body, body);
    QCOMPARE(call.appName, QStringLiteral("Tarrowin"));
    QCOMPARE(call.appIcon, AppIdentity::id());
    QCOMPARE(call.replacesId, 0u);
    QCOMPARE(call.actions, (QStringList { "default", "Open" }));
    QCOMPARE(call.expireTimeout, timeout);
    QCOMPARE(call.hints.value(QStringLiteral("desktop-entry")), QVariant(AppIdentity::id()));
    const QVariant sentUrgency = call.hints.value(QStringLiteral("urgency"));
    QCOMPARE(sentUrgency.metaType(), QMetaType::fromType<uchar>());
    QCOMPARE(sentUrgency.toInt(), urgency);
    QCOMPARE(m_server->calls().size(), 1);
}

void TestDesktopNotifier::replacing_data()
{
    // Each step shows "notice N" (N its index); "at once" does not wait for it to arrive.
    QTest::addColumn<QStringList>("steps");
    QTest::addColumn<QStringList>("arrived");
    // Per notice that arrived: the index of the one it replaces, or -1.
    QTest::addColumn<QList<int>>("replaces");

    QTest::newRow("status replaces status")
        << QStringList { "status", "status" } << QStringList { "notice 0", "notice 1" }
        << QList<int> { -1, 0 };
    QTest::newRow("the newest of quick ones replaces")
        << QStringList { "status at once", "status at once", "status" }
        << QStringList { "notice 0", "notice 2" } << QList<int> { -1, 0 };
    QTest::newRow("failures stand on their own")
        << QStringList { "status", "warning", "warning", "status" }
        << QStringList { "notice 0", "notice 1", "notice 2", "notice 3" }
        << QList<int> { -1, -1, -1, 0 };
    QTest::newRow("a question is not replaced")
        << QStringList { "status", "question", "status" }
        << QStringList { "notice 0", "notice 1", "notice 2" } << QList<int> { -1, -1, 0 };
    QTest::newRow("the profile offer, then the installed notice")
        << QStringList { "question at once", "status" } << QStringList { "notice 0", "notice 1" }
        << QList<int> { -1, -1 };
}

void TestDesktopNotifier::replacing()
{
    QFETCH(QStringList, steps);
    QFETCH(QStringList, arrived);
    QFETCH(QList<int>, replaces);

    auto element = trayIcon();
    for (int i = 0; i < steps.size(); ++i) {
        const QString title = QStringLiteral("notice %1").arg(i);
        const bool warning = steps[i] == QLatin1String("warning");
        const bool question = steps[i].startsWith(QLatin1String("question"));
        element->showMessage(QStringLiteral("Text"), title,
                             warning ? SystemTrayIcon::WarningMessage : SystemTrayIcon::InfoMessage,
                             5000, question ? QStringLiteral("copyprofile") : QString(), "Copy");
        if (!steps[i].endsWith(QLatin1String("at once")))
            QCOMPARE(waitForNotice(title).summary, title);
    }
    const QList<NotificationServer::Call> calls = m_server->calls();
    QStringList summaries;
    for (const NotificationServer::Call &call : calls)
        summaries.append(call.summary);
    QCOMPARE(summaries, arrived);
    for (int i = 0; i < calls.size(); ++i) {
        QCOMPARE(calls[i].replacesId, replaces[i] < 0 ? 0u : calls[replaces[i]].id);
        if (replaces[i] >= 0)
            QCOMPARE(calls[i].id, calls[replaces[i]].id);
    }
}

void TestDesktopNotifier::clickIsTold_data()
{
    QTest::addColumn<QString>("clicked");
    QTest::addColumn<QString>("actionKey");
    QTest::addColumn<uint>("idOffset"); // a notice of some other program when not 0
    QTest::addColumn<QList<bool>>("told"); // messageClicked's updateReason for that click

    QTest::newRow("update notice") << "Update available"
                                   << "default" << 0u << QList<bool> { true };
    QTest::newRow("status notice") << "Downloading ..."
                                   << "default" << 0u << QList<bool> { false };
    QTest::newRow("failure") << "Chromium build 5 was not installed"
                             << "default" << 0u << QList<bool> { false };
    QTest::newRow("another action key") << "Downloading ..."
                                        << "settings" << 0u << QList<bool> {};
    // The failure's own button is told apart from a click on it.
    QTest::newRow("the failure's action") << "Chromium build 5 was not installed"
                                          << "retry" << 0u << QList<bool> {};
    QTest::newRow("another program's notice") << "Downloading ..."
                                              << "default" << 100u << QList<bool> {};
}

void TestDesktopNotifier::clickIsTold()
{
    QFETCH(QString, clicked);
    QFETCH(QString, actionKey);
    QFETCH(uint, idOffset);
    QFETCH(QList<bool>, told);

    m_maker->serve(versionPath, "0.1.3");
    auto element = trayIcon();
    QSignalSpy spy(element.get(), &SystemTrayIcon::messageClicked);
    element->showMessage(QStringLiteral("Downloading Chromium build 5."),
                         QStringLiteral("Downloading ..."), SystemTrayIcon::InfoMessage, 5000);
    element->showMessage(QStringLiteral("Download failed"),
                         QStringLiteral("Chromium build 5 was not installed"),
                         SystemTrayIcon::WarningMessage, 10000, QStringLiteral("retry"),
                         QStringLiteral("Try again"));
    QSignalSpy chosen(element.get(), &SystemTrayIcon::messageActionChosen);
    const NotificationServer::Call update = waitForNotice(QStringLiteral("Update available"));
    QCOMPARE(update.body, QStringLiteral("There is a new version of Tarrowin available."));
    const NotificationServer::Call target = waitForNotice(clicked);
    QCOMPARE(target.summary, clicked);

    // The service's signals arrive in order: once the click on the update notice that
    // follows is told, the one under test has been handled.
    m_server->invokeAction(target.id + idOffset, actionKey);
    m_server->invokeAction(update.id, QStringLiteral("default"));
    told.append(true);
    QTRY_VERIFY_WITH_TIMEOUT(spy.size() >= told.size() && spy.last().first().toBool(), 10000);
    QList<bool> actual;
    for (const QList<QVariant> &arguments : std::as_const(spy))
        actual.append(arguments.first().toBool());
    QCOMPARE(actual, told);
    QCOMPARE(chosen.size(), actionKey == QLatin1String("retry") ? 1 : 0);
    if (clicked.startsWith(QLatin1String("Chromium")))
        QCOMPARE(target.actions, (QStringList { "default", "Open", "retry", "Try again" }));
    // An answered question goes; at quit every notice still open does.
    QTRY_COMPARE(m_server->open().contains(target.id), chosen.isEmpty());
    element.reset();
    QTRY_VERIFY(m_server->open().isEmpty());
}

void TestDesktopNotifier::fallsBackToQtsBalloon_data()
{
    QTest::addColumn<bool>("serviceRuns");
    QTest::newRow("no service on the bus") << false;
    QTest::newRow("the service refuses the notice") << true;
}

void TestDesktopNotifier::fallsBackToQtsBalloon()
{
    QFETCH(bool, serviceRuns);
    if (serviceRuns)
        m_server->setRefusing(true);
    else
        m_server.reset();
    m_maker->serve(versionPath, "0.1.3");

    auto element = trayIcon();
    auto *icon = element->findChild<QSystemTrayIcon *>();
    QSignalSpy spy(element.get(), &SystemTrayIcon::messageClicked);
    QTRY_VERIFY_WITH_TIMEOUT(element->updateAvailable(), 10000);
    // Qt's balloon carries the update notice once a click on it tells so.
    QTRY_VERIFY_WITH_TIMEOUT((emit icon->messageClicked(), spy.last().first().toBool()), 10000);
    if (serviceRuns)
        QCOMPARE(waitForNotice(QStringLiteral("Update available")).id, 0u);
}

void TestDesktopNotifier::meteredFollowsNetworkManager_data()
{
    // NetworkManager's Metered value at first and later; -1 while it is not there.
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::addColumn<bool>("meteredBefore");
    QTest::addColumn<bool>("meteredAfter");
    QTest::newRow("hotspot, then home wifi") << 1 << 2 << true << false;
    QTest::newRow("guessed metered, then unknown") << 3 << 0 << true << false;
    QTest::newRow("guessed free, then metered") << 4 << 1 << false << true;
    QTest::newRow("starts after us on a metered link") << -1 << 1 << false << true;
    QTest::newRow("no NetworkManager: nothing is metered") << -1 << -1 << false << false;
}

void TestDesktopNotifier::meteredFollowsNetworkManager()
{
    QFETCH(int, before);
    QFETCH(int, after);
    QFETCH(bool, meteredBefore);
    QFETCH(bool, meteredAfter);
    std::unique_ptr<FakeNetworkManager> manager;
    if (before >= 0)
        manager = std::make_unique<FakeNetworkManager>(QDBusConnection(m_serverName), before);
    MeteredConnection connection { QDBusConnection(m_clientName) };
    // The first answer comes from the event loop; a later word cannot overtake it.
    QSignalSpy changed(&connection, &MeteredConnection::meteredChanged);
    QVERIFY(!meteredBefore || changed.wait(5000));
    QCOMPARE(connection.metered(), meteredBefore);

    if (manager && after >= 0)
        manager->setMetered(after);
    else if (after >= 0)
        manager = std::make_unique<FakeNetworkManager>(QDBusConnection(m_serverName), after);
    QTRY_COMPARE(connection.metered(), meteredAfter);
    // NetworkManager going away meters nothing.
    manager.reset();
    QTRY_VERIFY(!connection.metered());
}

void TestDesktopNotifier::lowBatteryFollowsUPower_data()
{
    QTest::addColumn<bool>("onBattery");
    QTest::addColumn<double>("percentage");
    QTest::addColumn<bool>("low");
    QTest::newRow("on battery at 25 %") << true << 25.0 << true;
    QTest::newRow("on battery at 30 %") << true << 30.0 << false;
    QTest::newRow("on mains at 10 %") << false << 10.0 << false;
}

void TestDesktopNotifier::lowBatteryFollowsUPower()
{
    QFETCH(bool, onBattery);
    QFETCH(double, percentage);
    QFETCH(bool, low);
    FakeUPower upower(QDBusConnection(m_serverName), onBattery, percentage);
    QVERIFY(upower.start());
    PowerSupply power { QDBusConnection(m_clientName) };
    QSignalSpy changed(&power, &PowerSupply::lowBatteryChanged);
    QVERIFY(!low || changed.wait(5000));
    QCOMPARE(power.lowBattery(), low);
    // Plugged in: UPower says so, and nothing is held back any more.
    upower.setOnBattery(false);
    QTRY_VERIFY(!power.lowBattery());
}

TARROWIN_TEST_MAIN(TestDesktopNotifier, false)
#include "tst_desktopnotifier.moc"

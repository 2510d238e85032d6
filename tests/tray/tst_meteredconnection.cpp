#include "support/fakenetworkmanager.h"
#include "support/privatebus.h"
#include "support/testenvironment.h"
#include "tray/meteredconnection.h"

#include <QSignalSpy>

class TestMeteredConnection : public QObject
{
    Q_OBJECT

public:
    explicit TestMeteredConnection(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void followsNetworkManager_data();
    void followsNetworkManager();

private:
    TestEnvironment &m_environment;
    std::unique_ptr<PrivateBus> m_bus;
    QString m_clientName;
    QString m_serviceName;
    int m_round = 0;
};

void TestMeteredConnection::initTestCase()
{
    m_bus = std::make_unique<PrivateBus>(m_environment.tempDir());
    QVERIFY2(m_bus->address().startsWith(QLatin1String("unix:")), "dbus-daemon did not start");
}

void TestMeteredConnection::init()
{
    ++m_round;
    m_clientName = QStringLiteral("client-%1").arg(m_round);
    m_serviceName = QStringLiteral("service-%1").arg(m_round);
    QVERIFY(QDBusConnection::connectToBus(m_bus->address(), m_clientName).isConnected());
    QVERIFY(QDBusConnection::connectToBus(m_bus->address(), m_serviceName).isConnected());
}

void TestMeteredConnection::cleanup()
{
    QDBusConnection::disconnectFromBus(m_clientName);
    QDBusConnection::disconnectFromBus(m_serviceName);
}

void TestMeteredConnection::followsNetworkManager_data()
{
    // What NetworkManager says at first, and later; -1 where it is not (yet) there.
    QTest::addColumn<int>("before");
    QTest::addColumn<int>("after");
    QTest::addColumn<bool>("meteredBefore");
    QTest::addColumn<bool>("meteredAfter");
    QTest::newRow("hotspot becomes home wifi")
        << int(FakeNetworkManager::Yes) << int(FakeNetworkManager::No) << true << false;
    QTest::newRow("guessed metered, then unknown")
        << int(FakeNetworkManager::GuessYes) << int(FakeNetworkManager::Unknown) << true << false;
    QTest::newRow("guessed free, then metered")
        << int(FakeNetworkManager::GuessNo) << int(FakeNetworkManager::Yes) << false << true;
    QTest::newRow("starts after us on a metered link")
        << -1 << int(FakeNetworkManager::Yes) << false << true;
    QTest::newRow("without NetworkManager nothing is metered") << -1 << -1 << false << false;
}

void TestMeteredConnection::followsNetworkManager()
{
    QFETCH(int, before);
    QFETCH(int, after);
    QFETCH(bool, meteredBefore);
    QFETCH(bool, meteredAfter);
    const QDBusConnection serviceBus = QDBusConnection(m_serviceName);
    std::unique_ptr<FakeNetworkManager> manager;
    if (before >= 0) {
        manager = std::make_unique<FakeNetworkManager>(serviceBus, uint(before));
        QVERIFY(manager->registered());
    }

    MeteredConnection connection { QDBusConnection(m_clientName) };
    QSignalSpy changed(&connection, &MeteredConnection::meteredChanged);
    // The first answer arrives from the event loop. NetworkManager's later word cannot
    // overtake it: its value changes before it says so.
    if (meteredBefore)
        QVERIFY(changed.wait(5000));
    QCOMPARE(connection.metered(), meteredBefore);

    if (after >= 0 && manager) {
        manager->setMetered(uint(after));
    } else if (after >= 0) {
        manager = std::make_unique<FakeNetworkManager>(serviceBus, uint(after));
        QVERIFY(manager->registered());
    }
    if (meteredAfter != meteredBefore)
        QTRY_COMPARE(connection.metered(), meteredAfter);
    QCOMPARE(connection.metered(), meteredAfter);

    // NetworkManager going away meters nothing.
    manager.reset();
    QTRY_VERIFY(!connection.metered());
}

TARROWIN_TEST_MAIN(TestMeteredConnection, false)
#include "tst_meteredconnection.moc"

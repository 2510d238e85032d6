#pragma once

#include <QDBusConnection>
#include <QDBusMessage>
#include <QObject>

// UPower's display device as far as the program asks it: the charge.
class FakeUPowerBattery : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UPower.Device")
    Q_PROPERTY(double Percentage MEMBER percentage)
public:
    double percentage = 100;
};

// UPower as far as the program asks it, owning its name on a bus: OnBattery, announced when
// it changes as UPower does.
class FakeUPower : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UPower")
    Q_PROPERTY(bool OnBattery MEMBER m_onBattery)
public:
    FakeUPower(const QDBusConnection &bus, bool onBattery, double percentage)
        : m_bus(bus)
        , m_onBattery(onBattery)
    {
        m_battery.percentage = percentage;
        m_bus.registerObject(m_path, this, QDBusConnection::ExportAllProperties);
        m_bus.registerObject(m_path + "/devices/DisplayDevice", &m_battery,
                             QDBusConnection::ExportAllProperties);
    }
    ~FakeUPower() override { m_bus.unregisterService(m_service); }

    // Takes UPower's name on the bus; false where it is taken.
    bool start() { return m_bus.registerService(m_service); }
    void setOnBattery(bool onBattery)
    {
        m_onBattery = onBattery;
        m_bus.send(QDBusMessage::createSignal(m_path, "org.freedesktop.DBus.Properties",
                                              "PropertiesChanged")
                   << m_service << QVariantMap { { "OnBattery", onBattery } } << QStringList());
    }

private:
    const QString m_service = QStringLiteral("org.freedesktop.UPower");
    const QString m_path = QStringLiteral("/org/freedesktop/UPower");
    QDBusConnection m_bus;
    bool m_onBattery;
    FakeUPowerBattery m_battery;
};

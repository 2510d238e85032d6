#pragma once

#include <QDBusConnection>
#include <QObject>

// UPower's battery, the display device, as far as the program asks it: its charge.
class FakeUPowerBattery : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UPower.Device")
    Q_PROPERTY(double Percentage MEMBER m_percentage)

public:
    explicit FakeUPowerBattery(double percentage)
        : m_percentage(percentage)
    {
    }

private:
    double m_percentage;
};

// UPower as far as the program asks it: owns org.freedesktop.UPower on a bus and offers
// OnBattery, announcing a change of it as UPower does.
class FakeUPower : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.UPower")
    Q_PROPERTY(bool OnBattery MEMBER m_onBattery)

public:
    FakeUPower(const QDBusConnection &bus, bool onBattery, double percentage);
    ~FakeUPower() override;

    bool registered() const { return m_registered; }
    void setOnBattery(bool onBattery);

private:
    QDBusConnection m_bus;
    bool m_onBattery;
    FakeUPowerBattery m_battery;
    bool m_registered;
};

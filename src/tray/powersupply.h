#pragma once

#include <QDBusConnection>
#include <QObject>

// Whether the machine runs on its battery, and the battery is low, as UPower says: a
// download of 150 MB and an unpack on every core would drain it. Follows UPower's change
// signals and the service coming and going; without UPower the machine counts as on mains.
class PowerSupply : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool lowBattery READ lowBattery NOTIFY lowBatteryChanged)

public:
    // The charge, in percent, below which a battery counts as low.
    static constexpr double lowCharge = 30;

    // On the system bus, where UPower lives.
    explicit PowerSupply(QObject *parent = nullptr);
    PowerSupply(const QDBusConnection &bus, QObject *parent = nullptr);

    bool lowBattery() const { return m_onBattery && m_charge < lowCharge; }

signals:
    void lowBatteryChanged();

private:
    void update(bool onBattery, double charge);

    bool m_onBattery = false;
    double m_charge = 100;
};

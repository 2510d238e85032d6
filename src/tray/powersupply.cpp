#include "tray/powersupply.h"

#include "common/updatelog.h"
#include "tray/serviceproperty.h"

PowerSupply::PowerSupply(QObject *parent)
    : PowerSupply(QDBusConnection::systemBus(), parent)
{
}

PowerSupply::PowerSupply(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
{
    const QString service = QStringLiteral("org.freedesktop.UPower");
    // Away or silent, UPower holds nothing back: both read as on mains, fully charged.
    auto *onBattery = new ServiceProperty(bus, service, QStringLiteral("/org/freedesktop/UPower"),
                                          service, QStringLiteral("OnBattery"), this);
    connect(onBattery, &ServiceProperty::valueRead, this,
            [this](const QVariant &value) { update(value.toBool(), m_charge); });
    auto *charge = new ServiceProperty(
        bus, service, QStringLiteral("/org/freedesktop/UPower/devices/DisplayDevice"),
        service + QStringLiteral(".Device"), QStringLiteral("Percentage"), this);
    connect(charge, &ServiceProperty::valueRead, this, [this](const QVariant &value) {
        bool number = false;
        const double percent = value.toDouble(&number);
        update(m_onBattery, number ? percent : 100);
    });
}

void PowerSupply::update(bool onBattery, double charge)
{
    const bool wasLow = lowBattery();
    m_onBattery = onBattery;
    m_charge = charge;
    if (lowBattery() == wasLow)
        return;
    qCInfo(lcUpdate) << (wasLow ? "On mains power or charged enough" : "On a low battery");
    emit lowBatteryChanged();
}

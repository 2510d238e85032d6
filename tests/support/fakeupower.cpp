#include "support/fakeupower.h"

#include <QDBusMessage>

namespace {
const QString service = QStringLiteral("org.freedesktop.UPower");
const QString upowerPath = QStringLiteral("/org/freedesktop/UPower");
const QString batteryPath = QStringLiteral("/org/freedesktop/UPower/devices/DisplayDevice");
} // namespace

FakeUPower::FakeUPower(const QDBusConnection &bus, bool onBattery, double percentage)
    : m_bus(bus)
    , m_onBattery(onBattery)
    , m_battery(percentage)
{
    m_bus.registerObject(upowerPath, this, QDBusConnection::ExportAllProperties);
    m_bus.registerObject(batteryPath, &m_battery, QDBusConnection::ExportAllProperties);
    m_registered = m_bus.registerService(service);
}

FakeUPower::~FakeUPower()
{
    m_bus.unregisterService(service);
    m_bus.unregisterObject(upowerPath);
    m_bus.unregisterObject(batteryPath);
}

void FakeUPower::setOnBattery(bool onBattery)
{
    m_onBattery = onBattery;
    QDBusMessage changed = QDBusMessage::createSignal(
        upowerPath, QStringLiteral("org.freedesktop.DBus.Properties"), "PropertiesChanged");
    m_bus.send(changed << service << QVariantMap { { QStringLiteral("OnBattery"), onBattery } }
                       << QStringList());
}

#include "support/fakenetworkmanager.h"

#include <QDBusMessage>

namespace {
const QString service = QStringLiteral("org.freedesktop.NetworkManager");
const QString path = QStringLiteral("/org/freedesktop/NetworkManager");
} // namespace

FakeNetworkManager::FakeNetworkManager(const QDBusConnection &bus, uint metered)
    : m_bus(bus)
    , m_metered(metered)
{
    m_bus.registerObject(path, this, QDBusConnection::ExportAllProperties);
    m_bus.registerService(service);
}

FakeNetworkManager::~FakeNetworkManager()
{
    m_bus.unregisterService(service);
    m_bus.unregisterObject(path);
}

void FakeNetworkManager::setMetered(uint metered)
{
    m_metered = metered;
    QDBusMessage changed
        = QDBusMessage::createSignal(path, QStringLiteral("org.freedesktop.DBus.Properties"),
                                     QStringLiteral("PropertiesChanged"));
    changed << service << QVariantMap { { QStringLiteral("Metered"), metered } } << QStringList();
    m_bus.send(changed);
}

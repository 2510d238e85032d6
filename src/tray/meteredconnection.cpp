#include "tray/meteredconnection.h"

#include "tray/serviceproperty.h"

namespace {

// NetworkManager's NMMetered values that mean metered.
constexpr uint meteredYes = 1;
constexpr uint meteredGuessYes = 3;

} // namespace

MeteredConnection::MeteredConnection(QObject *parent)
    : MeteredConnection(QDBusConnection::systemBus(), parent)
{
}

MeteredConnection::MeteredConnection(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
{
    const QString service = QStringLiteral("org.freedesktop.NetworkManager");
    // Absent or silent, it meters nothing: downloads go ahead as they would without it.
    auto *property
        = new ServiceProperty(bus, service, QStringLiteral("/org/freedesktop/NetworkManager"),
                              service, QStringLiteral("Metered"), this);
    connect(property, &ServiceProperty::valueRead, this, &MeteredConnection::setState);
}

void MeteredConnection::setState(const QVariant &state)
{
    const uint value = state.toUInt();
    const bool metered = value == meteredYes || value == meteredGuessYes;
    if (metered == m_metered)
        return;
    m_metered = metered;
    emit meteredChanged(metered);
}

#include "tray/meteredconnection.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace {

const QString service = QStringLiteral("org.freedesktop.NetworkManager");
const QString path = QStringLiteral("/org/freedesktop/NetworkManager");
const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");

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
    , m_bus(bus)
{
    if (!m_bus.isConnected())
        return;
    auto *watcher = new QDBusServiceWatcher(service, m_bus,
                                            QDBusServiceWatcher::WatchForRegistration
                                                | QDBusServiceWatcher::WatchForUnregistration,
                                            this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &MeteredConnection::ask);
    // Gone, it meters nothing: downloads go ahead as they would without it.
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this, [this] { setState(0); });
    m_bus.connect(service, path, properties, QStringLiteral("PropertiesChanged"), this,
                  SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    ask();
}

void MeteredConnection::ask()
{
    QDBusMessage get
        = QDBusMessage::createMethodCall(service, path, properties, QStringLiteral("Get"));
    get << service << QStringLiteral("Metered");
    auto *call = new QDBusPendingCallWatcher(m_bus.asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, &MeteredConnection::answered);
}

void MeteredConnection::answered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<QDBusVariant> reply = *call;
    // No service, or one that does not know the property: nothing is metered.
    setState(reply.isError() ? 0 : reply.value().variant().toUInt());
}

void MeteredConnection::propertiesChanged(const QString &interface, const QVariantMap &changed,
                                          const QStringList &invalidated)
{
    if (interface != service)
        return;
    const auto metered = changed.constFind(QStringLiteral("Metered"));
    if (metered != changed.constEnd())
        setState(metered->toUInt());
    else if (invalidated.contains(QStringLiteral("Metered")))
        ask();
}

void MeteredConnection::setState(uint state)
{
    const bool metered = state == meteredYes || state == meteredGuessYes;
    if (metered == m_metered)
        return;
    m_metered = metered;
    emit meteredChanged(metered);
}

#include "tray/serviceproperty.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace {
const QString properties = QStringLiteral("org.freedesktop.DBus.Properties");
} // namespace

ServiceProperty::ServiceProperty(const QDBusConnection &bus, const QString &service,
                                 const QString &path, const QString &interface, const QString &name,
                                 QObject *parent)
    : QObject(parent)
    , m_bus(bus)
    , m_service(service)
    , m_path(path)
    , m_interface(interface)
    , m_name(name)
{
    if (!m_bus.isConnected())
        return;
    auto *watcher = new QDBusServiceWatcher(service, m_bus,
                                            QDBusServiceWatcher::WatchForRegistration
                                                | QDBusServiceWatcher::WatchForUnregistration,
                                            this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &ServiceProperty::read);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { emit valueRead(QVariant()); });
    m_bus.connect(service, path, properties, QStringLiteral("PropertiesChanged"), this,
                  SLOT(propertiesChanged(QString, QVariantMap, QStringList)));
    read();
}

void ServiceProperty::read()
{
    QDBusMessage get
        = QDBusMessage::createMethodCall(m_service, m_path, properties, QStringLiteral("Get"));
    get << m_interface << m_name;
    auto *call = new QDBusPendingCallWatcher(m_bus.asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, &ServiceProperty::answered);
}

void ServiceProperty::answered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<QDBusVariant> reply = *call;
    emit valueRead(reply.isError() ? QVariant() : reply.value().variant());
}

void ServiceProperty::propertiesChanged(const QString &interface, const QVariantMap &changed,
                                        const QStringList &invalidated)
{
    if (interface != m_interface)
        return;
    const auto value = changed.constFind(m_name);
    if (value != changed.constEnd())
        emit valueRead(*value);
    else if (invalidated.contains(m_name))
        read();
}

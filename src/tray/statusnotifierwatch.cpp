#include "tray/statusnotifierwatch.h"

#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

namespace {
const QString service = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString path = QStringLiteral("/StatusNotifierWatcher");
} // namespace

StatusNotifierWatch::StatusNotifierWatch(QObject *parent)
    : StatusNotifierWatch(QDBusConnection::sessionBus(), parent)
{
}

StatusNotifierWatch::StatusNotifierWatch(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{
    if (!m_bus.isConnected())
        return;
    auto *watcher = new QDBusServiceWatcher(service, m_bus,
                                            QDBusServiceWatcher::WatchForRegistration
                                                | QDBusServiceWatcher::WatchForUnregistration,
                                            this);
    connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, &StatusNotifierWatch::ask);
    connect(watcher, &QDBusServiceWatcher::serviceUnregistered, this,
            [this] { setPresent(false); });
    // A panel may start its watcher a moment before it registers itself as the host.
    m_bus.connect(service, path, service, QStringLiteral("StatusNotifierHostRegistered"), this,
                  SLOT(hostRegistered()));
    ask();
}

void StatusNotifierWatch::ask()
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        service, path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"));
    get << service << QStringLiteral("IsStatusNotifierHostRegistered");
    auto *call = new QDBusPendingCallWatcher(m_bus.asyncCall(get), this);
    connect(call, &QDBusPendingCallWatcher::finished, this, &StatusNotifierWatch::answered);
}

void StatusNotifierWatch::answered(QDBusPendingCallWatcher *call)
{
    call->deleteLater();
    const QDBusPendingReply<QDBusVariant> reply = *call;
    setPresent(!reply.isError() && reply.value().variant().toBool());
}

void StatusNotifierWatch::hostRegistered()
{
    setPresent(true);
}

void StatusNotifierWatch::setPresent(bool present)
{
    const bool first = !m_known;
    m_known = true;
    if (present == m_present)
        return;
    m_present = present;
    if (!first)
        emit presentChanged(present);
}

#include "tray/statusnotifierwatch.h"

#include "tray/serviceproperty.h"

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
{
    auto *hostRegistered = new ServiceProperty(
        bus, service, path, service, QStringLiteral("IsStatusNotifierHostRegistered"), this);
    connect(hostRegistered, &ServiceProperty::valueRead, this,
            [this](const QVariant &value) { setPresent(value.toBool()); });
    // A panel may start its watcher a moment before it registers itself as the host; the
    // watcher says so by a signal of its own.
    QDBusConnection(bus).connect(service, path, service,
                                 QStringLiteral("StatusNotifierHostRegistered"), this,
                                 SLOT(hostRegistered()));
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

#include "support/notificationserver.h"

#include <QDBusMessage>

namespace {
const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
} // namespace

NotificationServer::NotificationServer(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{
    m_registered = m_bus.registerObject(path, this, QDBusConnection::ExportScriptableSlots)
        && m_bus.registerService(service);
}

NotificationServer::~NotificationServer()
{
    m_bus.unregisterService(service);
    m_bus.unregisterObject(path);
}

uint NotificationServer::Notify(const QString &appName, uint replacesId, const QString &appIcon,
                                const QString &summary, const QString &body,
                                const QStringList &actions, const QVariantMap &hints,
                                int expireTimeout)
{
    Call call { appName, replacesId, appIcon, summary, body, actions, hints, expireTimeout, 0 };
    if (m_refusing) {
        sendErrorReply(QDBusError::Failed, QStringLiteral("Refused for the test"));
    } else {
        // As a real service does: an open notice is replaced in place, anything else gets a
        // new id.
        call.id = m_open.contains(replacesId) ? replacesId : ++m_lastId;
        m_open.insert(call.id);
    }
    m_calls.append(call);
    emit notified();
    return call.id;
}

QStringList NotificationServer::GetCapabilities()
{
    return { QStringLiteral("actions"), QStringLiteral("body"), QStringLiteral("body-markup") };
}

void NotificationServer::CloseNotification(uint id)
{
    if (m_open.contains(id))
        close(id, 3);
}

QString NotificationServer::GetServerInformation(QString &vendor, QString &version,
                                                 QString &protocolVersion)
{
    vendor = QStringLiteral("Tarrowin tests");
    version = QStringLiteral("1");
    protocolVersion = QStringLiteral("1.2");
    return QStringLiteral("notificationserver");
}

void NotificationServer::invokeAction(uint id, const QString &actionKey)
{
    emitSignal(QStringLiteral("ActionInvoked"), { id, actionKey });
}

void NotificationServer::close(uint id, uint reason)
{
    m_open.remove(id);
    emitSignal(QStringLiteral("NotificationClosed"), { id, reason });
}

void NotificationServer::emitSignal(const QString &name, const QVariantList &arguments)
{
    QDBusMessage message = QDBusMessage::createSignal(path, service, name);
    message.setArguments(arguments);
    m_bus.send(message);
}

#include "support/statusnotifierwatcher.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace {

const QString watcher = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");

// One entry of a com.canonical.dbusmenu layout, (ia{sv}av), and its children.
void readEntry(const QDBusArgument &argument, QMap<int, QString> &entries)
{
    int id = 0;
    QVariantMap properties;
    argument.beginStructure();
    argument >> id >> properties;
    argument.beginArray();
    while (!argument.atEnd()) {
        QDBusVariant child;
        argument >> child;
        readEntry(child.variant().value<QDBusArgument>(), entries);
    }
    argument.endArray();
    argument.endStructure();
    entries.insert(id, properties.value(QStringLiteral("label")).toString());
}

} // namespace

StatusNotifierWatcher::StatusNotifierWatcher(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{
    m_registered = m_bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                                        QDBusConnection::ExportScriptableContents
                                            | QDBusConnection::ExportAllProperties)
        && m_bus.registerService(watcher);
}

StatusNotifierWatcher::~StatusNotifierWatcher()
{
    m_bus.unregisterService(watcher);
    m_bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
}

void StatusNotifierWatcher::RegisterStatusNotifierItem(const QString &)
{
    const QString sender = message().service();
    m_items.append({ sender, m_bus.interface()->servicePid(sender).value() });
}

bool StatusNotifierWatcher::call(const Item &item, const QString &path, const QString &interface,
                                 const QString &method, const QVariantList &arguments,
                                 QVariantList *reply) const
{
    QDBusMessage message = QDBusMessage::createMethodCall(item.service, path, interface, method);
    message.setArguments(arguments);
    const QDBusMessage answer = m_bus.call(message);
    if (reply)
        *reply = answer.arguments();
    return answer.type() == QDBusMessage::ReplyMessage;
}

bool StatusNotifierWatcher::activate(const Item &item) const
{
    return call(item, QStringLiteral("/StatusNotifierItem"),
                QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Activate"), { 0, 0 });
}

QString StatusNotifierWatcher::menuPath(const Item &item) const
{
    // Where the item says its menu is, as a panel asks.
    QVariantList reply;
    call(item, QStringLiteral("/StatusNotifierItem"),
         QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("Get"),
         { QStringLiteral("org.kde.StatusNotifierItem"), QStringLiteral("Menu") }, &reply);
    return reply.value(0).value<QDBusVariant>().variant().value<QDBusObjectPath>().path();
}

QMap<int, QString> StatusNotifierWatcher::menu(const Item &item) const
{
    QMap<int, QString> entries;
    QVariantList reply;
    if (call(item, menuPath(item), menuInterface, QStringLiteral("GetLayout"),
             { 0, -1, QStringList() }, &reply)
        && reply.size() == 2)
        readEntry(reply.at(1).value<QDBusArgument>(), entries);
    return entries;
}

bool StatusNotifierWatcher::click(const Item &item, int entry) const
{
    return call(item, menuPath(item), menuInterface, QStringLiteral("Event"),
                { entry, QStringLiteral("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u });
}

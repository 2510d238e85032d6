#include "support/statusnotifierwatcher.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>

namespace {

const QString service = QStringLiteral("org.kde.StatusNotifierWatcher");
const QString itemInterface = QStringLiteral("org.kde.StatusNotifierItem");
const QString menuInterface = QStringLiteral("com.canonical.dbusmenu");

// One entry of a com.canonical.dbusmenu layout, (ia{sv}av), with its children.
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
    if (id != 0) {
        entries.insert(id,
                       properties.value(QStringLiteral("type")).toString()
                               == QLatin1String("separator")
                           ? QStringLiteral("-")
                           : properties.value(QStringLiteral("label")).toString());
    }
}

} // namespace

StatusNotifierWatcher::StatusNotifierWatcher(const QDBusConnection &bus, QObject *parent)
    : QObject(parent)
    , m_bus(bus)
{
    m_registered = m_bus.registerObject(QStringLiteral("/StatusNotifierWatcher"), this,
                                        QDBusConnection::ExportScriptableContents
                                            | QDBusConnection::ExportAllProperties)
        && m_bus.registerService(service);
}

StatusNotifierWatcher::~StatusNotifierWatcher()
{
    m_bus.unregisterService(service);
    m_bus.unregisterObject(QStringLiteral("/StatusNotifierWatcher"));
}

QStringList StatusNotifierWatcher::items() const
{
    QStringList names;
    for (const Item &item : m_items)
        names.append(item.service + item.path);
    return names;
}

void StatusNotifierWatcher::RegisterStatusNotifierItem(const QString &serviceOrPath)
{
    // Items name their bus name or only their object path; the sender is the item either way.
    Item item;
    item.service = message().service();
    item.path = serviceOrPath.startsWith(QLatin1Char('/')) ? serviceOrPath
                                                           : QStringLiteral("/StatusNotifierItem");
    item.pid = m_bus.interface()->servicePid(item.service).value();
    m_items.append(item);
    emit StatusNotifierItemRegistered(item.service + item.path);
}

void StatusNotifierWatcher::RegisterStatusNotifierHost(const QString &)
{
}

bool StatusNotifierWatcher::activate(const Item &item) const
{
    QDBusMessage call = QDBusMessage::createMethodCall(item.service, item.path, itemInterface,
                                                       QStringLiteral("Activate"));
    call << 0 << 0;
    return m_bus.call(call).type() == QDBusMessage::ReplyMessage;
}

QString StatusNotifierWatcher::menuPath(const Item &item) const
{
    QDBusMessage get = QDBusMessage::createMethodCall(
        item.service, item.path, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    get << itemInterface << QStringLiteral("Menu");
    const QDBusMessage reply = m_bus.call(get);
    if (reply.arguments().isEmpty())
        return QString();
    const QVariant menu = reply.arguments().constFirst().value<QDBusVariant>().variant();
    return menu.value<QDBusObjectPath>().path();
}

QMap<int, QString> StatusNotifierWatcher::menu(const Item &item) const
{
    QMap<int, QString> entries;
    QDBusMessage call = QDBusMessage::createMethodCall(item.service, menuPath(item), menuInterface,
                                                       QStringLiteral("GetLayout"));
    call << 0 << -1 << QStringList();
    const QDBusMessage reply = m_bus.call(call);
    if (reply.arguments().size() == 2)
        readEntry(reply.arguments().at(1).value<QDBusArgument>(), entries);
    return entries;
}

bool StatusNotifierWatcher::click(const Item &item, int entry) const
{
    QDBusMessage call = QDBusMessage::createMethodCall(item.service, menuPath(item), menuInterface,
                                                       QStringLiteral("Event"));
    call << entry << QStringLiteral("clicked") << QVariant::fromValue(QDBusVariant(0)) << 0u;
    return m_bus.call(call).type() == QDBusMessage::ReplyMessage;
}

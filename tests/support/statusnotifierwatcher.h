#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QObject>
#include <QStringList>
#include <QVariantMap>

// A D-Bus tray for tests: owns org.kde.StatusNotifierWatcher on the bus it is given, with a
// host registered, as a panel does; records the items that register, and acts on them as the
// panel would: a click, and the menu's entries with a click on one.
class StatusNotifierWatcher : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)
    Q_PROPERTY(int ProtocolVersion READ protocolVersion)
    Q_PROPERTY(QStringList RegisteredStatusNotifierItems READ items)

public:
    struct Item
    {
        QString service; // the bus name the item was registered from
        QString path;
        qint64 pid = 0;
    };

    explicit StatusNotifierWatcher(const QDBusConnection &bus, QObject *parent = nullptr);
    ~StatusNotifierWatcher() override;

    bool registered() const { return m_registered; }
    QList<Item> registeredItems() const { return m_items; }

    // Asks an item what the panel asks of it.
    bool activate(const Item &item) const;
    // The menu's entries by id: each entry's label, "-" for a separator.
    QMap<int, QString> menu(const Item &item) const;
    bool click(const Item &item, int entry) const;

    bool hostRegistered() const { return true; }
    int protocolVersion() const { return 0; }
    QStringList items() const;

public slots:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString &serviceOrPath);
    Q_SCRIPTABLE void RegisterStatusNotifierHost(const QString &service);

signals:
    Q_SCRIPTABLE void StatusNotifierItemRegistered(const QString &item);
    Q_SCRIPTABLE void StatusNotifierHostRegistered();

private:
    QString menuPath(const Item &item) const;

    QDBusConnection m_bus;
    bool m_registered = false;
    QList<Item> m_items;
};

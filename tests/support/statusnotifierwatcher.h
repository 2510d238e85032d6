#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QMap>
#include <QObject>

// A panel's D-Bus tray for tests: owns org.kde.StatusNotifierWatcher with a host registered,
// records the items that register, and clicks them and their menu's entries as a panel does.
class StatusNotifierWatcher : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.kde.StatusNotifierWatcher")
    Q_PROPERTY(bool IsStatusNotifierHostRegistered READ hostRegistered)

public:
    struct Item
    {
        QString service; // the bus name it registered from
        qint64 pid = 0;
    };

    explicit StatusNotifierWatcher(const QDBusConnection &bus, QObject *parent = nullptr);
    ~StatusNotifierWatcher() override;

    bool registered() const { return m_registered; }
    QList<Item> items() const { return m_items; }
    bool hostRegistered() const { return true; }

    bool activate(const Item &item) const;
    // The menu's entries by id: each one's label.
    QMap<int, QString> menu(const Item &item) const;
    bool click(const Item &item, int entry) const;

public slots:
    Q_SCRIPTABLE void RegisterStatusNotifierItem(const QString &serviceOrPath);

private:
    QString menuPath(const Item &item) const;
    bool call(const Item &item, const QString &path, const QString &interface,
              const QString &method, const QVariantList &arguments,
              QVariantList *reply = nullptr) const;

    QDBusConnection m_bus;
    bool m_registered = false;
    QList<Item> m_items;
};

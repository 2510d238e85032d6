#pragma once

#include <QDBusConnection>
#include <QDBusContext>
#include <QList>
#include <QObject>
#include <QSet>
#include <QStringList>
#include <QVariantMap>

// A desktop notification service for tests: owns org.freedesktop.Notifications on the bus it
// is given, records every Notify call as it arrived, and sends the service's signals (a click
// on a notice, a notice closed) when a test asks for them.
class NotificationServer : public QObject, protected QDBusContext
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call
    {
        QString appName;
        uint replacesId = 0;
        QString appIcon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int expireTimeout = 0;
        // What the service answered.
        uint id = 0;
    };

    // Registers on bus; registered() tells whether that worked.
    explicit NotificationServer(const QDBusConnection &bus, QObject *parent = nullptr);
    ~NotificationServer() override;

    bool registered() const { return m_registered; }
    QList<Call> calls() const { return m_calls; }
    // The ids of the notices on screen: neither closed nor expired.
    QSet<uint> open() const { return m_open; }
    // While refusing, every Notify call is answered with an error.
    void setRefusing(bool refusing) { m_refusing = refusing; }

    // As the service does when the user clicks a notice (actionKey "default") or one of its
    // buttons.
    void invokeAction(uint id, const QString &actionKey);
    // reason: 1 expired, 2 dismissed by the user, 3 closed by a call.
    void close(uint id, uint reason = 2);

public slots:
    Q_SCRIPTABLE uint Notify(const QString &appName, uint replacesId, const QString &appIcon,
                             const QString &summary, const QString &body,
                             const QStringList &actions, const QVariantMap &hints,
                             int expireTimeout);
    Q_SCRIPTABLE QStringList GetCapabilities();
    Q_SCRIPTABLE void CloseNotification(uint id);
    Q_SCRIPTABLE QString GetServerInformation(QString &vendor, QString &version,
                                              QString &protocolVersion);

signals:
    void notified();

private:
    void emitSignal(const QString &name, const QVariantList &arguments);

    QDBusConnection m_bus;
    bool m_registered = false;
    bool m_refusing = false;
    uint m_lastId = 0;
    QSet<uint> m_open;
    QList<Call> m_calls;
};

#pragma once

#include <QDBusConnection>
#include <QObject>

// Whether NetworkManager takes the connection to be metered (a phone's hotspot, a mobile
// link): its Metered property says yes, or guesses yes. Follows the property's change
// signal and the service coming and going, and asks nothing while nothing changes. Without
// NetworkManager the connection counts as unmetered.
class MeteredConnection : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool metered READ metered NOTIFY meteredChanged)

public:
    // On the system bus, where NetworkManager lives.
    explicit MeteredConnection(QObject *parent = nullptr);
    MeteredConnection(const QDBusConnection &bus, QObject *parent = nullptr);

    bool metered() const { return m_metered; }

signals:
    void meteredChanged(bool metered);

private:
    void setState(const QVariant &state);

    bool m_metered = false;
};

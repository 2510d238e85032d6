#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QTimer>

// Whether NetworkManager takes the connection to be metered (a phone's hotspot, a mobile
// link): its Metered property says yes, or guesses yes. Follows the property's change
// signal and the service coming and going, and asks nothing while nothing changes. Without
// NetworkManager the connection counts as unmetered.
class MeteredConnection : public QObject
{
    Q_OBJECT
    Q_PROPERTY(bool metered READ metered NOTIFY meteredChanged)
    // Whether NetworkManager has answered, is not there, or was waited for long enough: until
    // then nothing says the connection is free.
    Q_PROPERTY(bool known READ known NOTIFY knownChanged)

public:
    // On the system bus, where NetworkManager lives.
    explicit MeteredConnection(QObject *parent = nullptr);
    MeteredConnection(const QDBusConnection &bus, QObject *parent = nullptr);

    // How long NetworkManager's first answer is waited for before the connection counts as
    // unmetered.
    static constexpr int answerLimit = 2000;

    bool metered() const { return m_metered; }
    bool known() const { return m_known; }

signals:
    void meteredChanged(bool metered);
    void knownChanged();

private:
    void setState(const QVariant &state);
    void setKnown();

    bool m_metered = false;
    bool m_known = false;
    QTimer m_answerLimit;
};

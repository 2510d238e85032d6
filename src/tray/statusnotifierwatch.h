#pragma once

#include <QDBusConnection>
#include <QObject>

// Whether a D-Bus tray (a StatusNotifierWatcher with a panel registered as its host) is on
// the session bus, followed as panels start, crash and restart. Qt looks for one only once,
// when the program starts; this tells the program when that answer went stale.
class StatusNotifierWatch : public QObject
{
    Q_OBJECT

public:
    // On the session bus.
    explicit StatusNotifierWatch(QObject *parent = nullptr);
    StatusNotifierWatch(const QDBusConnection &bus, QObject *parent = nullptr);

    bool present() const { return m_present; }

signals:
    // Only for changes after the first answer: what was there at the start, Qt saw too.
    void presentChanged(bool present);

private slots:
    void hostRegistered();

private:
    void setPresent(bool present);

    bool m_present = false;
    bool m_known = false;
};

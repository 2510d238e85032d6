#pragma once

#include <QProcess>
#include <QString>

// A D-Bus bus of the test's own: a dbus-daemon that knows no services to start, so only
// what a test registers is there, whatever the machine has installed. It stands in for the
// session bus and for the system bus alike.
class PrivateBus
{
public:
    // The daemon's socket goes into directory.
    explicit PrivateBus(const QString &directory);
    ~PrivateBus();

    // Empty when the daemon did not start.
    QString address() const { return m_address; }

private:
    QProcess m_daemon;
    QString m_address;
};

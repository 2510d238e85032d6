#pragma once

#include "support/privatebus.h"

#include <QProcess>

// Debian's gnome-keyring-daemon as the desktop's Secret Service, on a session bus of the
// test's own, with its login collection made and unlocked at start: what libsecret, and so
// QtKeychain, talks to on a desktop. This process's session bus is that one from then on.
class PrivateKeyring
{
public:
    explicit PrivateKeyring(const QString &directory);
    ~PrivateKeyring();

    // Whether the default collection can be reached yet: the daemon starts on its own time.
    bool ready() const;

private:
    PrivateBus m_bus;
    QProcess m_daemon;
};

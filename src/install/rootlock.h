#pragma once

#include <QString>

#include <functional>

// The install root's own lock, <root>/.lock. Every running session of the user holds it
// shared for as long as it runs, whatever its runtime directory; a start takes it alone only
// to sweep what killed sessions left behind, so a live session's download is never swept.
// The kernel lets go of a dead process's hold.
class RootLock
{
public:
    explicit RootLock(const QString &root);
    ~RootLock();
    RootLock(const RootLock &) = delete;
    RootLock &operator=(const RootLock &) = delete;

    // Runs sweep while no other live process holds the lock, then holds it shared. False,
    // without sweeping, when another one holds it or the lock cannot be made. Never waits:
    // while another process holds it alone, the shared hold follows once it lets go.
    bool sweepIfAlone(const std::function<void()> &sweep);

private:
    void holdWhenFree();

    QString m_path;
    int m_fd = -1;
};

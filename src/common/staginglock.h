#pragma once

#include <QString>

// A session's claim on a directory it downloads or unpacks into: the file .lock inside, held
// with flock(2) for as long as this object lives. Sessions of one user may share a home while
// each has a runtime directory of its own (two logins at once); one never adopts or removes a
// directory whose lock another live process holds. The kernel lets go of a dead process's
// hold, so what a killed run left is free to take. Never waits.
class StagingLock
{
public:
    StagingLock() = default;
    // Takes the lock of directory, making its lock file when needed. Holds nothing when
    // another process (or another StagingLock) holds it, or when the directory is gone.
    explicit StagingLock(const QString &directory);
    ~StagingLock();
    StagingLock(StagingLock &&other) noexcept;
    StagingLock &operator=(StagingLock &&other) noexcept;
    StagingLock(const StagingLock &) = delete;
    StagingLock &operator=(const StagingLock &) = delete;

    bool isHeld() const { return m_held; }

    static QString fileName() { return QStringLiteral(".lock"); }

private:
    void release();

    int m_fd = -1;
    bool m_held = false;
};

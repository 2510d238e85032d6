#pragma once

#include <QString>

// The SingletonLock Chromium keeps in a profile while a browser runs on it: a link whose
// target is "<host>-<pid>". Chromium leaves it behind when it is ended by SIGTERM (a session's
// end) or crashes, and the next browser takes such a lock over when its process is gone or
// is no browser; so whether a profile is free is decided here as Chromium decides it, and a
// lock found dangling is left for Chromium to replace.
class SingletonLock
{
public:
    // Reads the lock once.
    explicit SingletonLock(const QString &profile);

    // Whether a browser may hold the profile: the lock names a browser process of this host
    // that still runs, or another host, or it is no link Chromium could have written (then
    // Chromium itself does not start on the profile). False without a lock or when it dangles.
    bool held() const;
    // The process of this host the lock names; 0 when it names none.
    qint64 pid() const { return m_pid; }

#ifdef Q_OS_LINUX
    // Opens /proc/<pid>: what is read through it is of that one process, never of one that
    // took the pid over once it ended. -1 when there is no such process.
    static int openProcess(qint64 pid);
    // The executable of the process opened so, canonical, when it is a browser process rather
    // than one of its renderers, zygotes and utilities; empty otherwise or once it has ended.
    static QString browserExecutable(int process);
#endif

private:
    enum class Kind {
        None, // no lock, or one naming no process at all
        Unknown, // no link, or unreadable
        OtherHost,
        ThisHost,
    };
    Kind m_kind = Kind::Unknown;
    qint64 m_pid = 0;
};

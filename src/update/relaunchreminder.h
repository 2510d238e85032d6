#pragma once

#include <QtGlobal>

// When the relaunch notice is due while a browser runs from an older build: at once for a
// build it did not announce, then at most once a period, never over the window or another
// notice, nor after "Not now" until the next build comes in. Timed by a monotonic clock.
class RelaunchReminder
{
public:
    // How often the relaunch is brought up again while it waits, at most.
    static constexpr qint64 period = 24 * 3600 * 1000;

    // Test seam: the clock, in milliseconds; null for the real one.
    static void setClock(qint64 (*source)());

    // A notice went up for `timeout` milliseconds (0: until answered, which covers nothing).
    void noticeShown(int timeout);
    // "Not now".
    void postpone() { m_postponed = true; }
    // Whether the notice for `build` goes up now: newBuild when it has just come in, else as
    // a reminder; never while not wanted (no old browser, no build, notices off). When it is
    // due, it counts as shown.
    bool due(int build, bool newBuild, bool wanted, bool windowVisible);

private:
    static qint64 now();

    bool m_postponed = false;
    // Until when the last notice may be on screen.
    qint64 m_noticeUntil = -1;
    qint64 m_lastReminder = -1;
    int m_build = -1;
};

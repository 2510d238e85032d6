#include "update/relaunchreminder.h"

#include <QDeadlineTimer>

namespace {

// The one piece of mutable global state here: the test seam for the clock.
qint64 (*&clockSeam())()
{
    static qint64 (*now)() = nullptr;
    return now;
}

} // namespace

void RelaunchReminder::setClock(qint64 (*source)())
{
    clockSeam() = source;
}

qint64 RelaunchReminder::now()
{
    return clockSeam() ? clockSeam()() : QDeadlineTimer::current().deadline();
}

void RelaunchReminder::noticeShown(int timeout)
{
    m_noticeUntil = now() + timeout;
}

bool RelaunchReminder::due(int build, bool newBuild, bool wanted, bool windowVisible)
{
    newBuild = newBuild && build != m_build;
    m_postponed = m_postponed && !newBuild;
    if (m_postponed || !wanted)
        return false;
    // A new build's notice takes the place of the "installed" one; a reminder waits its turn.
    const qint64 at = now();
    if (!newBuild
        && (windowVisible || at < m_noticeUntil
            || (m_lastReminder != -1 && at - m_lastReminder < period)))
        return false;
    m_lastReminder = at;
    m_build = build;
    return true;
}

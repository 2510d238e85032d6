#include "update/checkschedule.h"

#include "update/updatepolicy.h"

#include <QRandomGenerator>

#include <algorithm>

namespace {

// The one piece of mutable global state here: the test seam that turns the spread off.
bool &spreadingSeam()
{
    static bool on = true;
    return on;
}

qint64 randomWait(QRandomGenerator &random)
{
    return spreadingSeam() ? random.bounded(CheckSchedule::spread + 1) : 0;
}

} // namespace

qint64 CheckSchedule::firstCheck(QRandomGenerator &random)
{
    return random.bounded(spread + 1);
}

CheckSchedule::Wait CheckSchedule::nextCheck(qint64 period, QRandomGenerator &random)
{
    // The stretch is drawn before the wait, so a seeded source stretches the same periods
    // whatever their length.
    const bool stretched = spreadingSeam() && random.bounded(10) == 0;
    const qint64 base = stretched ? period + period / 5 : period;
    const qint64 delay
        = std::clamp<qint64>(base + randomWait(random), 0, UpdatePolicy::longestPeriod);
    return { delay, stretched };
}

void CheckSchedule::setSpreading(bool spreading)
{
    spreadingSeam() = spreading;
}

bool CheckSchedule::spreading()
{
    return spreadingSeam();
}

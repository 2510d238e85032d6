#pragma once

#include <QtGlobal>

class QRandomGenerator;

// When the next check comes, as pure functions of the random source handed in: machines
// started together (a site's logins, a fleet's boot) would otherwise ask the storage on
// the same beat for ever. A random wait of up to a minute before each periodic check, and
// one period in ten stretched by a fifth, keep them from falling back into step.
namespace CheckSchedule {

// The longest random wait before a check.
constexpr qint64 spread = 60000;

struct Wait
{
    // Milliseconds from now, never more than a timer holds.
    qint64 delay = 0;
    // Whether this period is one of the stretched ones.
    bool stretched = false;
};

// The wait before the first check after start-up: within the spread.
qint64 firstCheck(QRandomGenerator &random);
// The wait before the next periodic check of `period` milliseconds.
Wait nextCheck(qint64 period, QRandomGenerator &random);

// Test seam: false leaves the first check to the checker, at once, and then checks every
// exact period, as a program under test is timed; true (the default) spreads the checks.
void setSpreading(bool spreading);
bool spreading();

} // namespace CheckSchedule

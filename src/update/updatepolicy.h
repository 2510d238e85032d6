#pragma once

#include <QVariant>

#include <iterator>

// The update loop's decisions, as pure functions of what is known at the time.
namespace UpdatePolicy {

// What the settings remember of earlier attempts; -1 where no build is named.
struct Records
{
    int currentBuild = -1;
    // The build the user went back from.
    int skippedBuild = -1;
    // The build whose installation failed last, and how often in a row.
    int failedBuild = -1;
    int failedAttempts = 0;
    // The build the person chose to stay on: no newer one is fetched until they follow again.
    int stayBuild = -1;
};

// The longest check period a timer can hold: a signed 32-bit count of milliseconds.
constexpr qint64 longestPeriod = 2147483647;
constexpr qint64 day = 86400000;

// Checks to let pass before a build that failed `attempts` times is tried again: 1, 2,
// 4 ... checks, never more than a day's worth at the given period.
int retryAfterChecks(int attempts, qint64 checkPeriod);

// Whether the latest build is fetched now. Nothing is while the user stays on a build. A build
// the user went back from is not fetched again (a newer one is), and a build that failed waits
// out its back-off unless the user asked.
bool shouldDownload(int latest, const Records &records, int checksSinceFailure, bool userAsked,
                    qint64 checkPeriod);

// Whether a download waits: on a metered connection, unless the user lets it go ahead.
bool downloadWaits(bool metered, bool downloadOnMetered);
// The build to fetch when the archive of `unpublished` is not there yet: `newest`, the newest
// published build below it, when that would be fetched by itself; -1 otherwise.
int publishedInstead(int unpublished, int newest, const Records &records, int checksSinceFailure,
                     bool userAsked, qint64 checkPeriod);

// The largest count of time frames of `factor` milliseconds that fits a timer.
int largestCount(qint64 factor);
// The stored time frame index, or 0 (minutes) where it names none of `count` frames.
int timeFrameIndex(const QVariant &stored, int count);

// The time frames the period is counted in: minutes, hours, days.
constexpr qint64 timeFrames[] = { 60000, 3600000, day };
constexpr int timeFrameCount = int(std::size(timeFrames));
// The length of time frame `frameIndex`, minutes where it names none.
qint64 timeFrame(int frameIndex);
// The period between checks: `count` time frames, the count kept between 1 and what fits a
// timer.
int checkPeriod(int count, int frameIndex);

} // namespace UpdatePolicy

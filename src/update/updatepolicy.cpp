#include "update/updatepolicy.h"

#include <algorithm>

int UpdatePolicy::retryAfterChecks(int attempts, qint64 checkPeriod)
{
    const qint64 perDay
        = std::max<qint64>(1, (day + checkPeriod - 1) / std::max<qint64>(1, checkPeriod));
    // 2^30 outlasts any day's worth of checks; the shift must stay inside an int.
    const qint64 spacing = qint64(1) << std::clamp(attempts - 1, 0, 30);
    return int(std::min(spacing, perDay));
}

bool UpdatePolicy::shouldDownload(int latest, const Records &records, int checksSinceFailure,
                                  bool userAsked, qint64 checkPeriod)
{
    if (records.stayBuild > 0 || latest <= records.currentBuild || latest <= records.skippedBuild)
        return false;
    if (latest != records.failedBuild || userAsked)
        return true;
    return checksSinceFailure >= retryAfterChecks(records.failedAttempts, checkPeriod);
}

int UpdatePolicy::publishedInstead(int unpublished, int newest, const Records &records,
                                   int checksSinceFailure, bool userAsked, qint64 checkPeriod)
{
    if (newest <= 0 || newest >= unpublished)
        return -1;
    return shouldDownload(newest, records, checksSinceFailure, userAsked, checkPeriod) ? newest
                                                                                       : -1;
}

int UpdatePolicy::largestCount(qint64 factor)
{
    return int(longestPeriod / std::max<qint64>(1, factor));
}

int UpdatePolicy::timeFrameIndex(const QVariant &stored, int count)
{
    bool number = false;
    const int index = stored.toInt(&number);
    return (number && index >= 0 && index < count) ? index : 0;
}

qint64 UpdatePolicy::timeFrame(int frameIndex)
{
    return timeFrames[frameIndex >= 0 && frameIndex < timeFrameCount ? frameIndex : 0];
}

int UpdatePolicy::checkPeriod(int count, int frameIndex)
{
    const qint64 frame = timeFrame(frameIndex);
    return int(std::clamp(count, 1, largestCount(frame)) * frame);
}

bool UpdatePolicy::downloadWaits(bool metered, bool downloadOnMetered)
{
    return metered && !downloadOnMetered;
}

#include "install/buildretention.h"

#include <algorithm>

QList<int> BuildRetention::toRemove(const Builds &builds, int keep)
{
    QList<int> kept;
    const auto counts = [&builds](int build) {
        return !builds.pinned.contains(build) && !builds.inUse.contains(build);
    };
    // Current and the one before it first, as the root has always kept them; then the newest.
    QList<int> order { builds.current, builds.previous };
    QList<int> newestFirst = builds.installed;
    std::sort(newestFirst.begin(), newestFirst.end(), std::greater<int>());
    order.append(newestFirst);
    int counted = 0;
    const int wanted = std::clamp(keep, 1, BuildPins::mostKept);
    for (const int build : std::as_const(order)) {
        if (!builds.installed.contains(build) || kept.contains(build))
            continue;
        if (!counts(build) || build == builds.current) {
            kept.append(build);
            counted += counts(build) ? 1 : 0;
        } else if (counted < wanted) {
            kept.append(build);
            ++counted;
        }
    }
    QList<int> remove;
    for (const int build : builds.installed) {
        if (!kept.contains(build) && !remove.contains(build))
            remove.append(build);
    }
    std::sort(remove.begin(), remove.end());
    return remove;
}

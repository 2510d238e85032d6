#pragma once

#include "settings/buildpins.h"

#include <QList>

// Which installed builds stay when builds come and go: current always; pinned builds and those
// a running browser uses always, without counting; and "KeepBuilds" in all, counted from current,
// the build before it (for going back) and then the newest.
namespace BuildRetention {

struct Builds
{
    QList<int> installed;
    int current = -1;
    int previous = -1;
    QList<int> pinned;
    QList<int> inUse;
};

// The installed builds to remove, in ascending order.
QList<int> toRemove(const Builds &builds, int keep);

} // namespace BuildRetention

#pragma once

#include <QList>
#include <QString>

// What the settings say of the builds kept: how many, which are pinned, and the one the update
// loop stays on.
namespace BuildPins {

// A person keeps at most this many: each build is hundreds of megabytes.
constexpr int mostKept = 100;

// "KeepBuilds", kept between 1 and mostKept.
int keepCount();
// "PinnedBuilds", ascending.
QList<int> pinned();
// Pins or unpins build; empty on success, else the settings file that could not be written.
QString setPinned(int build, bool pinned);

// "StayOnBuild": the build the update loop stays on, -1 while it follows the newest.
int stay();
// Stays on build (pinning it), or follows the newest again with -1 (leaving the pin).
QString setStay(int build);

} // namespace BuildPins

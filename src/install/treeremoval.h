#pragma once

#include <QString>

// Removes a tree without keeping the GUI thread waiting: unlinking a refused build's 20,000
// files takes seconds. The tree is first renamed, in its own folder, to a hidden name of its
// own (one rename, on the same file system), so its old path is free at once and a new tree
// made there is never touched; a pool thread then removes it through descriptors, never
// following a link. The application waits for the removals when it ends (Qt's pool is
// drained then); what a crash or a kill cut short carries the hidden name, for sweep().
namespace TreeRemoval {

// The start of the name of a tree being removed.
inline constexpr char prefix[] = ".tarrowin-removing-";

// Removes path: a folder in the background as above when called on the application's thread,
// at once on any other (which is no GUI thread's). A link or a file there goes as it is. False
// when nothing could be moved aside or removed.
bool removeLater(const QString &path);
// Removes what removals cut short left in dir, but not one a live process still works on.
void sweep(const QString &dir);
// Blocks until every removal started has ended: for tests and benchmarks.
void waitForAll();

} // namespace TreeRemoval

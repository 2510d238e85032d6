#pragma once

#include <QDir>
#include <QString>

// What runs that ended without cleaning up (killed, crashed, powered off) left behind.
namespace Leftovers {

// Removes the download directories ("tarrowin-*") directly in tempPath that belong to this
// user, are real directories (a link is never followed) and hold nothing a running process
// executes: an installer started by an earlier run keeps its file, and a live session's
// download its StagingLock. Returns how many went.
// Call only while holding the single-instance lock: a live instance's download must stay.
int removeTemporaryDirectories(const QString &tempPath = QDir::tempPath(),
                               const QString &procRoot = QStringLiteral("/proc"));

} // namespace Leftovers

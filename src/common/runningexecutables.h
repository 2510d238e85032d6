#pragma once

#include <QString>
#include <QStringList>

// The files running processes execute, read from /proc (Linux). Used to leave alone what a
// process still runs from. Elsewhere, or where /proc is missing, nothing is found.
namespace RunningExecutables {

// The target of every <procRoot>/<pid>/exe that can be read (processes of other users
// usually cannot).
QStringList list(const QString &procRoot = QStringLiteral("/proc"));

// Whether any running executable lies inside dir, compared by canonical path.
bool anyInside(const QString &dir, const QString &procRoot = QStringLiteral("/proc"));

} // namespace RunningExecutables

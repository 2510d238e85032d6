#include "common/desktopentry.h"

QString DesktopEntry::quotedProgram(const QString &programPath) { return programPath; }

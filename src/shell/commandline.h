#pragma once

#include <QStringList>

namespace CommandLine {

// True when the argument list asks for a start in the tray: one of "/tray", "--tray" or
// "-t" as a whole element, case-sensitively, anywhere in the list (program path included).
bool isTrayStart(const QStringList &arguments);

} // namespace CommandLine

#pragma once

#include <QString>
#include <QStringList>

namespace CommandLine {

// True when the argument list asks for a start in the tray: one of "/tray", "--tray" or
// "-t" as a whole element, case-sensitively, anywhere in the list (program path included).
bool isTrayStart(const QStringList &arguments);

// What a start is asked to do: run, or only print its help or its version, or only keep a
// snapshot of the browser's profile (the browser's launcher asks so before a build of another
// milestone starts), or do one job with builds for a script.
enum class Request { Run, Help, Version, ProtectProfile, InstallBuild, ListBuilds, Bisect };

// Reads --help (-h, -?), --version (-v), --protect-profile, --install-build, --list-builds and
// --bisect (with --bisect-run)
// from the argument list, program path first. Other arguments, known or not, mean a run: an
// unknown option is ignored, never fatal.
Request request(const QStringList &arguments);

// The folder --protect-profile names; empty without one.
QString profileToProtect(const QStringList &arguments);
// The build --install-build names, as given.
QString buildWanted(const QStringList &arguments);
// The range --bisect names (empty for the previous build to the current one; "-", which names
// no range, without --bisect), and the command --bisect-run names.
QString bisectRange(const QStringList &arguments);
QString bisectCommand(const QStringList &arguments);

// What --help and --version print. Needs the application object and its identity: the usage
// line names the program as it was started.
QString text(Request request);

} // namespace CommandLine

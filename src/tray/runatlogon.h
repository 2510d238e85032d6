#pragma once

#include <QString>

// Registers the program to start in the tray when the user logs on, or removes that
// registration. Windows keeps it in the Run key of the registry; XDG desktops in an
// autostart entry.
namespace RunAtLogon {

void setEnabled(bool enabled, const QString &programPath);

// The command the registration runs: the quoted program path, one blank and "/tray".
QString command(const QString &programPath);

#ifndef Q_OS_WIN
// Where the XDG autostart entry lives.
QString autostartFile();
#endif

} // namespace RunAtLogon

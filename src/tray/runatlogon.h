#pragma once

#include <QString>

// Registers the program to start in the tray when the user logs on, or removes that
// registration. Windows keeps it in the Run key of the registry; XDG desktops in an
// autostart entry.
namespace RunAtLogon {

void setEnabled(bool enabled, const QString &programPath);

// Brings an existing registration in line with the program now running at programPath; for
// each start while the user wants to run at logon. It never creates a registration the user
// removed. On XDG desktops: an entry from an older version gains the current keys; one whose
// program was moved, reinstalled or deleted (a removed build tree) names programPath
// instead; an installed program takes the entry over from one elsewhere, while a run from a
// build tree leaves an entry naming a program that still exists alone. The desktop's own
// switches in the entry (Hidden, X-GNOME-Autostart-enabled) survive, and an entry left with
// no program to run is removed.
void refresh(const QString &programPath);

// The command the registration runs: the quoted program path, one blank and "/tray".
QString command(const QString &programPath);

#ifndef Q_OS_WIN
// Where the XDG autostart entry lives.
QString autostartFile();
#endif

} // namespace RunAtLogon

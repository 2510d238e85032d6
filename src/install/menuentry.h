#pragma once

#include <QString>

// The desktop menu entry that starts the installed browser, with its icon.
namespace MenuEntry {

// $XDG_DATA_HOME/applications/tarrowin-chromium.desktop
QString desktopFile();
// $XDG_DATA_HOME/icons/hicolor/48x48/apps/tarrowin-chromium.png
QString iconFile();

// Writes the entry (Name "Chromium (snapshot)", Exec launcherPath, quoted where it needs it, and
// %U, Icon tarrowin-chromium, the window class the browser started by the launcher uses) with
// QSaveFile, and copies logo to the icon file when it exists.
bool write(const QString &launcherPath, const QString &logo);

} // namespace MenuEntry

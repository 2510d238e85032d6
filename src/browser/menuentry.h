#pragma once

#include <QString>

// The desktop menu entry that starts the installed browser, with its icon.
namespace MenuEntry {

// $XDG_DATA_HOME/applications/tarrowin-chromium.desktop
QString desktopFile();
// $XDG_DATA_HOME/icons/hicolor/48x48/apps/tarrowin-chromium.png
QString iconFile();

// $XDG_DATA_HOME/<organization>/<application>/tarrowin-chromium: a link to a launcher whose
// own path needs quoting, for the entry to start it by.
QString launcherLink();

// Writes the entry (Name "Chromium (snapshot)", Exec launcherPath and %U, Icon
// tarrowin-chromium, the window class the browser started by the launcher uses) with QSaveFile,
// and copies logo to the icon file when it exists. A launcher whose path needs quoting is
// named by launcherLink() where that can be made, else quoted.
bool write(const QString &launcherPath, const QString &logo);

} // namespace MenuEntry

#include "install/menuentry.h"

QString MenuEntry::desktopFile() { return QString(); }
QString MenuEntry::iconFile() { return QString(); }
bool MenuEntry::write(const QString &, const QString &) { return false; }

#include "tray/runatlogon.h"

#include "common/desktopentry.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

QString RunAtLogon::command(const QString &programPath)
{
    // Native separators stay: on Linux a backslash is part of a name, not a separator.
    return QLatin1Char('"') + programPath + QStringLiteral("\" /tray");
}

QString RunAtLogon::autostartFile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/autostart/Tarrowin.desktop");
}

void RunAtLogon::setEnabled(bool enabled, const QString &programPath)
{
    const QString path = autostartFile();
    if (!enabled) {
        QFile::remove(path);
        return;
    }
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Written whole or not at all: a session manager never sees half an entry.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    const QString entry
        = QStringLiteral("[Desktop Entry]\n"
                         "Type=Application\n"
                         "Name=Tarrowin\n"
                         "Exec=%1\n")
              .arg(DesktopEntry::quotedProgram(programPath) + QStringLiteral(" /tray"));
    file.write(entry.toUtf8());
    file.commit();
}

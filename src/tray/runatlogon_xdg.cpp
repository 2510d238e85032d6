#include "tray/runatlogon.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// A desktop entry's Exec value: inside double quotes the characters " ` $ and \ take a
// backslash, then the value as a whole escapes backslashes again, and % is doubled.
QString execValue(const QString &programPath)
{
    QString quoted;
    for (const QChar c : programPath) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$')
            || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    QString value = QLatin1Char('"') + quoted + QStringLiteral("\" /tray");
    value.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    value.replace(QLatin1Char('%'), QStringLiteral("%%"));
    return value;
}

} // namespace

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
    const QString entry = QStringLiteral("[Desktop Entry]\n"
                                         "Type=Application\n"
                                         "Name=Tarrowin\n"
                                         "Exec=%1\n")
                              .arg(execValue(programPath));
    file.write(entry.toUtf8());
    file.commit();
}

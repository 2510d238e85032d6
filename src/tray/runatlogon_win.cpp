#include "tray/runatlogon.h"

#include <QSettings>

namespace {
const QString runKey
    = QStringLiteral("HKEY_CURRENT_USER\\Software\\Microsoft\\Windows\\CurrentVersion\\Run");
}

QString RunAtLogon::command(const QString &programPath)
{
    QString windowsPath = programPath;
    windowsPath.replace(QLatin1Char('/'), QLatin1Char('\\'));
    return QLatin1Char('"') + windowsPath + QStringLiteral("\" /tray");
}

void RunAtLogon::setEnabled(bool enabled, const QString &programPath)
{
    QSettings run(runKey, QSettings::NativeFormat);
    if (enabled)
        run.setValue(QStringLiteral("Tarrowin"), command(programPath));
    else
        run.remove(QStringLiteral("Tarrowin"));
}

void RunAtLogon::refresh(const QString &programPath)
{
    // The Run value names one program; a moved or reinstalled one takes it over.
    QSettings run(runKey, QSettings::NativeFormat);
    const QString name = QStringLiteral("Tarrowin");
    if (run.contains(name) && run.value(name).toString() != command(programPath))
        run.setValue(name, command(programPath));
}

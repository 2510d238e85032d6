#include "tray/runatlogon.h"

#include "common/appidentity.h"
#include "common/desktopentry.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QSaveFile>
#include <QStandardPaths>

namespace {

// Keys a desktop's autostart settings add to switch the entry off. A rewrite carries them
// over, so the user's choice outlives a moved program.
const QStringList desktopSwitches { QStringLiteral("Hidden"),
                                    QStringLiteral("X-GNOME-Autostart-enabled") };

// An entry is a few hundred bytes; anything far larger is not one of ours worth reading.
constexpr qint64 maximumEntrySize = 64 * 1024;

// The raw values of the [Desktop Entry] group; the first of a repeated key counts.
QMap<QString, QString> entryKeys(const QByteArray &text)
{
    QMap<QString, QString> keys;
    bool inEntry = false;
    const QStringList lines = QString::fromUtf8(text).split(QLatin1Char('\n'));
    for (QString line : lines) {
        if (line.endsWith(QLatin1Char('\r')))
            line.chop(1);
        if (line.startsWith(QLatin1Char('['))) {
            inEntry = line.trimmed() == QStringLiteral("[Desktop Entry]");
            continue;
        }
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (!inEntry || line.startsWith(QLatin1Char('#')) || equals <= 0)
            continue;
        const QString key = line.left(equals).trimmed();
        if (!keys.contains(key)) {
            QString value = line.mid(equals + 1);
            while (value.startsWith(QLatin1Char(' ')))
                value.remove(0, 1);
            keys.insert(key, value);
        }
    }
    return keys;
}

// The program an Exec value starts: its first argument, after the key-file escapes, the
// doubled percent and the launcher's quoting are undone.
QString execProgram(const QString &rawExec)
{
    const QString exec
        = DesktopEntry::unescapedValue(rawExec).replace(QStringLiteral("%%"), QStringLiteral("%"));
    if (!exec.startsWith(QLatin1Char('"')))
        return exec.section(QLatin1Char(' '), 0, 0);
    QString program;
    for (qsizetype i = 1; i < exec.size(); ++i) {
        const QChar c = exec.at(i);
        if (c == QLatin1Char('"'))
            return program;
        if (c == QLatin1Char('\\') && i + 1 < exec.size()
            && QStringLiteral("\"`$\\").contains(exec.at(i + 1)))
            program += exec.at(++i);
        else
            program += c;
    }
    return {}; // no closing quote: the launcher would refuse it as well
}

// The program an entry runs. Entries from before TryExec name it in Exec only.
QString entryProgram(const QMap<QString, QString> &keys)
{
    const auto tryExec = keys.constFind(QStringLiteral("TryExec"));
    return tryExec != keys.cend() ? DesktopEntry::unescapedValue(*tryExec)
                                  : execProgram(keys.value(QStringLiteral("Exec")));
}

bool isProgram(const QString &path)
{
    const QFileInfo info(path);
    return info.isAbsolute() && info.isFile() && info.isExecutable();
}

// Installed means put in place by `cmake --install` or a package: a bin directory whose
// prefix also holds the program's menu entry. A build tree has no such neighbour.
bool isInstalled(const QString &programPath)
{
    const QDir bin = QFileInfo(programPath).absoluteDir();
    return bin.dirName() == QStringLiteral("bin")
        && QFileInfo::exists(bin.absoluteFilePath(QStringLiteral("../share/applications/")
                                                  + AppIdentity::id()
                                                  + QStringLiteral(".desktop")));
}

QByteArray entryText(const QString &programPath, const QMap<QString, QString> &carried = {})
{
    QString text = QStringLiteral("[Desktop Entry]\n"
                                  "Type=Application\n"
                                  "Name=Tarrowin\n")
        + QStringLiteral("Exec=") + DesktopEntry::quotedProgram(programPath)
        + QStringLiteral(" /tray\n")
        // Desktops skip the entry, rather than fail at every logon, once the program is gone.
        + QStringLiteral("TryExec=") + DesktopEntry::escapedValue(programPath) + QLatin1Char('\n')
        + QStringLiteral("Icon=") + AppIdentity::id()
        + QLatin1Char('\n')
        // A tray icon started before the panel finds no tray to sit in.
        + QStringLiteral("X-GNOME-Autostart-Delay=5\n"
                         "X-KDE-autostart-after=panel\n");
    for (const QString &key : desktopSwitches) {
        const auto value = carried.constFind(key);
        if (value != carried.cend())
            text += key + QLatin1Char('=') + *value + QLatin1Char('\n');
    }
    return text.toUtf8();
}

void writeEntry(const QString &path, const QByteArray &text)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    // Written whole or not at all: a session manager never sees half an entry.
    QSaveFile file(path);
    if (!file.open(QIODevice::WriteOnly))
        return;
    file.write(text);
    file.commit();
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
    writeEntry(path, entryText(programPath));
}

void RunAtLogon::refresh(const QString &programPath)
{
    const QString path = autostartFile();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return; // none: the user took it away, through the desktop or by hand
    const QByteArray written
        = file.size() <= maximumEntrySize ? file.read(maximumEntrySize) : QByteArray();
    file.close();

    const QMap<QString, QString> keys = entryKeys(written);
    const QString writtenProgram = entryProgram(keys);
    if (writtenProgram != programPath && isProgram(writtenProgram) && !isInstalled(programPath))
        return; // a build-tree run does not take the entry from a program that still exists
    if (!isProgram(programPath)) {
        QFile::remove(path);
        return;
    }
    const QByteArray current = entryText(programPath, keys);
    if (current != written)
        writeEntry(path, current);
}

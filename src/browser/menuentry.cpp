#include "browser/menuentry.h"

#include "browser/browserlauncher.h"
#include "common/desktopentry.h"
#include "common/updatelog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>

namespace {

QString dataHome()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
}

// Letters, digits and /._+,:@- only, as ASCII: a path that needs no quoting. Checked by hand,
// so a start that writes the menu entry pulls no regular-expression engine into memory.
bool plain(const QString &path)
{
    const auto allowed = [](QChar c) {
        return (c >= u'A' && c <= u'Z') || (c >= u'a' && c <= u'z') || (c >= u'0' && c <= u'9')
            || QStringView(u"/._+,:@-").contains(c);
    };
    return !path.isEmpty() && std::all_of(path.cbegin(), path.cend(), allowed);
}

// Points the link at the launcher, replacing an earlier link whole: a desktop reading the
// entry meanwhile finds the old link or the new one. Nothing but a link is ever replaced.
bool linkLauncher(const QString &launcherPath, const QString &link)
{
    QDir().mkpath(QFileInfo(link).path());
    const QString fresh
        = link + QStringLiteral(".new-") + QString::number(QCoreApplication::applicationPid());
    QFile::remove(fresh);
    const QFileInfo existing(link);
    const bool replaced = (existing.isSymLink() || !existing.exists())
        && QFile::link(QFileInfo(launcherPath).absoluteFilePath(), fresh)
        && std::rename(QFile::encodeName(fresh).constData(), QFile::encodeName(link).constData())
            == 0;
    if (!replaced)
        QFile::remove(fresh);
    return replaced;
}

// xdg-settings, which the browser runs to become the default browser, takes the first word of
// Exec as the program without undoing quotes, and so finds no program in a quoted one. A
// launcher whose path needs quotes is named by a link of plain characters instead; quoted is
// what is left when even that link's path needs them (a home folder with a blank in it).
QString execProgram(const QString &launcherPath)
{
    const QString link = MenuEntry::launcherLink();
    if (plain(launcherPath)) {
        if (QFileInfo(link).isSymLink())
            QFile::remove(link);
        return launcherPath;
    }
    if (QFileInfo(launcherPath).isFile() && plain(link) && linkLauncher(launcherPath, link))
        return link;
    return DesktopEntry::quotedProgram(launcherPath);
}

// Replaces the icon whole: an icon theme cache never reads half a picture.
bool copyIcon(const QString &logo, const QString &icon)
{
    QFile source(logo);
    if (!source.open(QIODevice::ReadOnly))
        return false;
    QSaveFile target(icon);
    if (!target.open(QIODevice::WriteOnly))
        return false;
    const QByteArray data = source.readAll();
    if (source.error() == QFileDevice::NoError && DesktopEntry::holds(icon, data))
        return true;
    if (source.error() != QFileDevice::NoError || target.write(data) != data.size()) {
        target.cancelWriting();
        return false;
    }
    return target.commit();
}

} // namespace

QString MenuEntry::desktopFile()
{
    return dataHome() + QStringLiteral("/applications/tarrowin-chromium.desktop");
}

QString MenuEntry::launcherLink()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
        + QStringLiteral("/tarrowin-chromium");
}

QString MenuEntry::iconFile()
{
    return dataHome() + QStringLiteral("/icons/hicolor/48x48/apps/tarrowin-chromium.png");
}

bool MenuEntry::write(const QString &launcherPath, const QString &logo)
{
    const QString entryPath = desktopFile();
    const QString iconPath = iconFile();
    QDir().mkpath(QFileInfo(entryPath).absolutePath());
    QDir().mkpath(QFileInfo(iconPath).absolutePath());

    // The icon first, so a menu that picks up the new entry at once finds its icon too. A
    // missing icon only costs the picture, never the entry.
    if (QFileInfo(logo).isFile() && !copyIcon(logo, iconPath))
        qCWarning(lcUpdate) << "Could not copy the browser's icon to" << iconPath;

    const QString entry
        = QStringLiteral("[Desktop Entry]\n"
                         "Type=Application\n"
                         "Name=Chromium (snapshot)\n"
                         "GenericName=Web Browser\n"
                         "Comment=Access the Internet\n"
                         "Exec=%1 %U\n"
                         "Icon=tarrowin-chromium\n"
                         "Terminal=false\n"
                         "StartupNotify=true\n"
                         "Categories=Network;WebBrowser;\n"
                         "MimeType=text/html;application/xhtml+xml;"
                         "x-scheme-handler/http;x-scheme-handler/https;\n"
                         "StartupWMClass=%2\n")
              .arg(execProgram(launcherPath), QLatin1String(BrowserLauncher::windowClass));
    const QByteArray bytes = entry.toUtf8();
    if (DesktopEntry::holds(entryPath, bytes))
        return true;
    QSaveFile file(entryPath);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

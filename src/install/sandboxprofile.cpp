#include "install/sandboxprofile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

// What a path may hold to go into a profile unquoted: no blanks, quotes, braces, commas or
// AppArmor's pattern characters, so that it names exactly these files and nothing else.
bool isPlainPath(const QString &path)
{
    static const QRegularExpression plain(QStringLiteral("^(/[A-Za-z0-9._+@-]+)+$"));
    return plain.match(path).hasMatch() && !path.contains(QLatin1String("/../"))
        && !path.contains(QLatin1String("/./"));
}

bool ownedBy(const QString &path, uint uid)
{
    const QFileInfo info(path);
    return info.exists() && !info.isSymLink() && info.ownerId() == uid;
}

} // namespace

QString SandboxProfile::name(uint uid)
{
    return QStringLiteral("tarrowin-chromium-%1").arg(uid);
}

QString SandboxProfile::path(const QString &directory, uint uid)
{
    return directory + QLatin1Char('/') + name(uid);
}

QString SandboxProfile::attachment(const QString &root)
{
    const QString real = QFileInfo(root).canonicalFilePath();
    return real.isEmpty() ? QString() : real + QStringLiteral("/versions/*/chrome");
}

QString SandboxProfile::text(uint uid, const QString &root)
{
    const QString profile = name(uid);
    return QStringLiteral(
               "# Written by %1 for uid %2: the Chromium builds Tarrowin installed\n"
               "# for this user may create user namespaces for their sandbox.\n"
               "abi <abi/4.0>,\n"
               "include <tunables/global>\n"
               "\n"
               "profile %3 %4 flags=(unconfined) {\n"
               "  userns,\n"
               "\n"
               "  # Site-specific additions and overrides. See local/README for details.\n"
               "  include if exists <local/%3>\n"
               "}\n")
        .arg(QLatin1String(helperName))
        .arg(uid)
        .arg(profile, attachment(root));
}

QString SandboxProfile::refusal(const QString &browser, uint uid, QString *root)
{
    static const QRegularExpression layout(QStringLiteral("^(.+)/versions/[0-9]+/chrome$"));
    const QString real = QFileInfo(browser).canonicalFilePath();
    const QRegularExpressionMatch match = layout.match(real);
    if (real.isEmpty() || !match.hasMatch() || !isPlainPath(real))
        return QStringLiteral("%1 is not a versions/<build>/chrome of an install root")
            .arg(browser);
    const QString realRoot = match.captured(1);
    // Every step from the root down is the user's own: nobody else's files get the
    // permission, and nobody else could swap the user's files for their own.
    const QString build = QFileInfo(real).absolutePath();
    for (const QString &path : { realRoot, realRoot + QStringLiteral("/versions"), build, real }) {
        if (!ownedBy(path, uid))
            return QStringLiteral("%1 does not belong to uid %2").arg(path).arg(uid);
    }
    if (!QFileInfo(real).isFile())
        return QStringLiteral("%1 is not a file").arg(real);
    *root = realRoot;
    return QString();
}

QString SandboxProfile::write(const QString &directory, uint uid, const QString &root)
{
    QSaveFile file(path(directory, uid));
    if (!file.open(QIODevice::WriteOnly))
        return file.errorString();
    file.write(text(uid, root).toUtf8());
    // Others read it (the program, to learn that the restriction is lifted); only root
    // writes it.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ReadGroup
                        | QFileDevice::ReadOther);
    return file.commit() ? QString() : file.errorString();
}

bool SandboxProfile::covers(const QString &directory, uint uid, const QString &root)
{
    const QString files = attachment(root);
    QFile file(path(directory, uid));
    if (files.isEmpty() || !file.open(QIODevice::ReadOnly))
        return false;
    const QString line = QStringLiteral("profile %1 %2 ").arg(name(uid), files);
    return QString::fromUtf8(file.read(64 * 1024)).contains(line);
}

bool SandboxProfile::coversOwnBuilds(const QString &root)
{
#ifdef Q_OS_UNIX
    return covers(QLatin1String(defaultDirectory), ::getuid(), root);
#else
    Q_UNUSED(root)
    return false;
#endif
}

#include "browser/sandboxprofile.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

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
    return real.isEmpty() ? QString() : real + QStringLiteral("/{versions,bisect-cache}/*/chrome");
}

bool SandboxProfile::locate(const QString &browser, QString *root, Folder *folder)
{
    // "", the root's steps, the folder, the build, "chrome".
    const QStringList steps = QFileInfo(browser).canonicalFilePath().split(QLatin1Char('/'));
    const qsizetype count = steps.size();
    if (count < 5 || steps[count - 1] != QLatin1String("chrome"))
        return false;
    const QString &build = steps[count - 2];
    if (build.isEmpty() || build.size() > 10
        || !std::all_of(build.begin(), build.end(), [](QChar c) { return c >= u'0' && c <= u'9'; }))
        return false;
    const QString &kind = steps[count - 3];
    if (kind != QLatin1String("versions") && kind != QLatin1String("bisect-cache"))
        return false;
    *folder = kind == QLatin1String("versions") ? Folder::Versions : Folder::BisectCache;
    *root = steps.mid(0, count - 3).join(QLatin1Char('/'));
    return true;
}

bool SandboxProfile::covers(const QString &directory, uint uid, const QString &root, Folder folder)
{
    const QString files = attachment(root);
    QFile file(path(directory, uid));
    if (files.isEmpty() || !file.open(QIODevice::ReadOnly))
        return false;
    const QString text = QString::fromUtf8(file.read(64 * 1024));
    const QString line = QStringLiteral("profile %1 %2 ").arg(name(uid));
    if (text.contains(line.arg(files)))
        return true;
    // The profile helpers wrote before bisects named the installed builds alone; it still
    // serves them, so that nobody who never bisects is asked for the password again.
    const QString versions
        = QFileInfo(root).canonicalFilePath() + QStringLiteral("/versions/*/chrome");
    return folder == Folder::Versions && text.contains(line.arg(versions));
}

bool SandboxProfile::coversOwnBuilds(const QString &root, Folder folder)
{
#ifdef Q_OS_UNIX
    return covers(QLatin1String(defaultDirectory), ::getuid(), root, folder);
#else
    Q_UNUSED(root)
    Q_UNUSED(folder)
    return false;
#endif
}

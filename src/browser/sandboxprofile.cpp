#include "browser/sandboxprofile.h"

#include <QFile>
#include <QFileInfo>

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
    return real.isEmpty() ? QString() : real + QStringLiteral("/versions/*/chrome");
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

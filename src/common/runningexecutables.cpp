#include "common/runningexecutables.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <algorithm>

QStringList RunningExecutables::list(const QString &procRoot)
{
    QStringList executables;
    const QStringList entries = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        entry.toUInt(&numeric);
        if (!numeric)
            continue;
        const QString target
            = QFile::symLinkTarget(procRoot + QLatin1Char('/') + entry + QStringLiteral("/exe"));
        if (!target.isEmpty())
            executables.append(target);
    }
    return executables;
}

bool RunningExecutables::anyInside(const QString &dir, const QString &procRoot)
{
    const QString canonicalDir = QFileInfo(dir).canonicalFilePath();
    if (canonicalDir.isEmpty())
        return false;
    // The slash keeps /tmp/tarrowin-a from matching /tmp/tarrowin-ab/installer.
    const QString prefix = canonicalDir + QLatin1Char('/');
    const QStringList executables = list(procRoot);
    return std::any_of(executables.begin(), executables.end(), [&](const QString &executable) {
        const QString canonical = QFileInfo(executable).canonicalFilePath();
        return (canonical.isEmpty() ? executable : canonical).startsWith(prefix);
    });
}

#include "builds/bisectcache.h"

#include "common/runningexecutables.h"
#include "common/updatelog.h"
#include "install/keptversions.h"
#include "install/treeremoval.h"
#include "settings/buildpins.h"
#include "settings/config.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>

namespace {

// The state holds the numbers still between good and bad: far below this.
constexpr qint64 maximumStateSize = 1024 * 1024;

struct Text
{
    Q_DECLARE_TR_FUNCTIONS(BisectCache)
};

} // namespace

BisectCache::BisectCache(const InstallRoot &root, const QString &procRoot)
    : m_root(root)
    , m_procRoot(procRoot)
{
}

QString BisectCache::path() const
{
    return m_root.path() + QStringLiteral("/bisect-cache");
}

QString BisectCache::statePath() const
{
    return m_root.path() + QStringLiteral("/bisect-state.txt");
}

QString BisectCache::buildPath(int build) const
{
    return path() + QLatin1Char('/') + QString::number(build);
}

QList<int> BisectCache::builds() const
{
    QList<int> result;
    for (const QString &name : QDir(path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot)) {
        bool ok = false;
        const int build = name.toInt(&ok);
        if (ok && build >= 0 && QString::number(build) == name)
            result.append(build);
    }
    std::sort(result.begin(), result.end());
    return result;
}

qint64 BisectCache::capacity()
{
    bool ok = false;
    const qint64 size = Config::get(Config::BisectCacheSize).toLongLong(&ok);
    return ok && size > 0 ? size : Config::defaultValue(Config::BisectCacheSize).toLongLong();
}

void BisectCache::trim(const QList<int> &used, const QList<int> &spare) const
{
    const QList<int> cached = builds();
    QList<int> order;
    for (const int build : cached) {
        if (!used.contains(build))
            order.append(build);
    }
    for (const int build : used) {
        if (cached.contains(build))
            order.append(build);
    }
    QList<qint64> sizes;
    qint64 total = 0;
    for (const int build : order) {
        sizes.append(KeptVersions::diskUsage(buildPath(build)));
        total += sizes.last();
    }
    const QList<int> lastUsed = used.mid(qMax<qsizetype>(0, used.size() - leastKept));
    const qint64 cap = capacity();
    for (qsizetype i = 0; i < order.size() && total > cap; ++i) {
        const int build = order[i];
        if (lastUsed.contains(build) || spare.contains(build)
            || RunningExecutables::anyInside(buildPath(build), m_procRoot))
            continue;
        qCInfo(lcUpdate) << "The bisect's cache is full: build" << build << "goes";
        if (TreeRemoval::removeLater(buildPath(build)))
            total -= sizes[i];
    }
}

bool BisectCache::keep(int build, QString *error) const
{
    if (!builds().contains(build)) {
        *error = Text::tr("Build %1 is not in the bisect's cache").arg(build);
        return false;
    }
    // Pinned first: no sweep may take it between the move and the pin.
    const bool pinned = BuildPins::pinned().contains(build);
    if (const QString unsaved = BuildPins::setPinned(build, true); !unsaved.isEmpty()) {
        *error = Text::tr("Cannot save settings to %1").arg(unsaved);
        return false;
    }
    InstallRoot root = m_root;
    if (!root.place(build, buildPath(build), error)) {
        if (!pinned)
            BuildPins::setPinned(build, false);
        return false;
    }
    return true;
}

void BisectCache::clear() const
{
    for (const int build : builds()) {
        if (RunningExecutables::anyInside(buildPath(build), m_procRoot))
            qCInfo(lcUpdate) << "Build" << build << "of the bisect is in use and stays for now";
        else
            TreeRemoval::removeLater(buildPath(build));
    }
    QFile::remove(statePath());
}

bool BisectCache::writeState(const QByteArray &state) const
{
    QDir().mkpath(m_root.path());
    QSaveFile file(statePath());
    return state.size() <= maximumStateSize && file.open(QIODevice::WriteOnly)
        && file.write(state) == state.size() && file.commit();
}

std::optional<QByteArray> BisectCache::readState() const
{
    QFile file(statePath());
    if (!file.exists())
        return std::nullopt;
    if (file.size() > maximumStateSize || !file.open(QIODevice::ReadOnly))
        return QByteArray();
    return file.readAll();
}

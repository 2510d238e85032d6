#pragma once

#include "install/installroot.h"

#include <QByteArray>
#include <QList>
#include <QString>

#include <optional>

// Where a bisect's builds live, apart from versions/: <root>/bisect-cache/<N>/, and the
// session's state beside it, <root>/bisect-state.txt. The cache is held below
// "BisectCacheSize", the last few builds used kept whatever they take; everything in it goes
// when the bisect ends, but a build the person keeps, which moves into versions/ and is pinned
// as a chosen build is.
class BisectCache
{
public:
    // The builds used last that stay whatever the cap says.
    static constexpr int leastKept = 5;

    explicit BisectCache(const InstallRoot &root,
                         const QString &procRoot = QStringLiteral("/proc"));

    QString path() const;
    QString statePath() const;
    QString buildPath(int build) const;
    QString browserPath(int build) const { return buildPath(build) + QStringLiteral("/chrome"); }
    // The builds in the cache, ascending.
    QList<int> builds() const;
    // "BisectCacheSize" in bytes, its default where it is unset or no size.
    static qint64 capacity();

    // Removes the builds used longest ago (those not in used first, then used from its start)
    // while the cache takes more than capacity, but never the last leastKept of used, nor one
    // in spare or in use by a running process.
    void trim(const QList<int> &used, const QList<int> &spare) const;
    // Moves build into versions/ and pins it; false with *error saying why otherwise.
    bool keep(int build, QString *error) const;
    // Removes every build in the cache a running process does not use, and the state.
    void clear() const;

    // The state, written whole or not at all; false when it could not be.
    bool writeState(const QByteArray &state) const;
    std::optional<QByteArray> readState() const;

private:
    InstallRoot m_root;
    QString m_procRoot;
};

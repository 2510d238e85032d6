#include "builds/buildlistmodel.h"

#include "install/archiveinstaller.h"
#include "install/keptversions.h"
#include "settings/buildpins.h"

#include <QCoreApplication>
#include <QFileInfo>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

BuildListModel::BuildListModel(QObject *parent)
    : QAbstractListModel(parent)
    , m_root(InstallRoot::defaultPath())
{
    connect(&m_sizes, &QFutureWatcher<QHash<int, qint64>>::finished, this, &BuildListModel::sized);
}

// A count still running finishes on its own; its result goes nowhere.
BuildListModel::~BuildListModel() = default;

void BuildListModel::setRoot(const InstallRoot &root, const QString &procRoot)
{
    m_root = root;
    m_procRoot = procRoot;
}

int BuildListModel::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : count();
}

QVariant BuildListModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= count())
        return QVariant();
    const Row &row = m_rows.at(index.row());
    switch (role) {
    case NumberRole:
        return row.number;
    case VersionRole:
        return row.version;
    case InstalledRole:
        return row.installed;
    case SizeRole:
        return row.size;
    case CurrentRole:
        return row.current;
    case PinnedRole:
        return row.pinned;
    case RunningRole:
        return row.running;
    default:
        return QVariant();
    }
}

QHash<int, QByteArray> BuildListModel::roleNames() const
{
    return { { NumberRole, "number" },  { VersionRole, "version" }, { InstalledRole, "installed" },
             { SizeRole, "size" },      { CurrentRole, "current" }, { PinnedRole, "pinned" },
             { RunningRole, "running" } };
}

void BuildListModel::refresh()
{
    const KeptVersions versions(m_root, m_procRoot);
    const ArchiveInstaller installer(m_root);
    const QList<int> pinned = BuildPins::pinned();
    const int current = m_root.currentBuild();
    QList<int> builds = versions.installed();
    std::reverse(builds.begin(), builds.end());
    beginResetModel();
    m_rows.clear();
    for (const int build : std::as_const(builds)) {
        // The version file is written as the build is put in place.
        const QFileInfo written(m_root.versionPath(build) + QStringLiteral("/.tarrowin-version"));
        m_rows.append({ build, installer.version(build),
                        (written.exists() ? written : QFileInfo(m_root.versionPath(build)))
                            .lastModified()
                            .toUTC(),
                        -1, build == current, pinned.contains(build), versions.inUse(build) });
    }
    endResetModel();
    emit countChanged();
    // A build holds thousands of files: counted beside the window.
    const InstallRoot root = m_root;
    m_sizes.setFuture(QtConcurrent::run([root, builds] {
        QHash<int, qint64> sizes;
        for (const int build : builds)
            sizes.insert(build, KeptVersions::diskUsage(root.versionPath(build)));
        return sizes;
    }));
}

void BuildListModel::sized()
{
    const QHash<int, qint64> sizes = m_sizes.result();
    for (int i = 0; i < count(); ++i) {
        if (sizes.contains(m_rows[i].number)) {
            m_rows[i].size = sizes.value(m_rows[i].number);
            emit dataChanged(index(i), index(i), { SizeRole });
        }
    }
    emit sizesKnown();
}

QString BuildListModel::setPinned(int build, bool pinned)
{
    const QString unsaved = BuildPins::setPinned(build, pinned);
    if (!unsaved.isEmpty())
        return tr("Cannot save settings to %1").arg(unsaved);
    for (int i = 0; i < count(); ++i) {
        if (m_rows[i].number == build) {
            m_rows[i].pinned = pinned;
            emit dataChanged(index(i), index(i), { PinnedRole });
        }
    }
    return QString();
}

QString BuildListModel::remove(int build)
{
    QString error;
    if (!KeptVersions(m_root, m_procRoot).remove(build, &error))
        return error;
    refresh();
    return QString();
}

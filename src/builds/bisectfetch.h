#pragma once

#include "builds/buildseries.h"
#include "builds/staging.h"
#include "install/installroot.h"

#include <QHash>
#include <QList>
#include <QObject>

class ArchiveFetch;
class ArchiveSource;
class ArchiveInstaller;
class QNetworkAccessManager;

// Brings builds into a bisect's cache, <directory>/<N>/, one at a time in the order wanted:
// each from the storage or the mirror the settings name, judged and checked as an update is
// and proven by its `chrome --version`, but neither current nor pinned, and versions/ is left
// alone.
class BisectFetch : public QObject
{
    Q_OBJECT

public:
    BisectFetch(const InstallRoot &root, const QString &directory, QObject *parent = nullptr);
    // Keeps nothing of a build being fetched: a bisect's builds are not resumed.
    ~BisectFetch() override;

    void setNetworkAccessManager(QNetworkAccessManager *manager);
    // The upload of each build the listing named, so that a replaced one is not mixed in.
    void setGenerations(const QHash<int, QByteArray> &generations);

    // The builds to have, most wanted first. A fetch under way of a build no longer wanted
    // stops; builds already there are reported ready at once.
    void want(const QList<int> &builds);
    bool has(int build) const;
    // Stops whatever is under way; a build still being unpacked is removed once it is there.
    void cancel();
    // The build being fetched; -1 when idle.
    int fetching() const { return m_build; }

signals:
    void ready(int build);
    // One line saying why; the build is not wanted any more.
    void failed(int build, const QString &error);

private:
    void startNext();
    void transfer();
    void fetched();
    void unpack();
    void refuseMirror();
    void installed(bool succeeded, const QString &error);
    void stop();

    InstallRoot m_root;
    QString m_directory;
    BuildSeries m_series;
    ArchiveFetch *m_fetch;
    ArchiveInstaller *m_installer;
    ArchiveSource *m_source;
    Staging m_staging;
    QHash<int, QByteArray> m_generations;
    QList<int> m_wanted;
    int m_build = -1;
    bool m_cancelled = false;
};

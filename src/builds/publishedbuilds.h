#pragma once

#include "builds/buildseries.h"

#include <QByteArray>
#include <QDateTime>
#include <QList>
#include <QObject>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class TextFetch;

// Every published build of a series, as the storage's JSON listing names their archives,
// kept in a file in the user's cache folder so that a later look costs one page: the listing
// is read on from the newest build cached. Names sort as text, so when the newest build has
// more digits than the newest cached one (9999999 -> 10000000) the whole series is read
// again rather than the longer numbers skipped.
class PublishedBuilds : public QObject
{
    Q_OBJECT

public:
    struct Build
    {
        int number = -1;
        QByteArray generation;
        qint64 size = -1;
        QDateTime created; // UTC; invalid when the listing did not say
        bool operator==(const Build &other) const
        {
            return number == other.number && generation == other.generation && size == other.size
                && created == other.created;
        }
    };

    static constexpr int pageSize = 1000;
    // About 50 bytes a line: the file stays below 13 MB; the oldest builds go first.
    static constexpr int maximumBuilds = 250000;
    static constexpr qint64 maximumPageSize = 4 * 1024 * 1024;

    explicit PublishedBuilds(const BuildSeries &series, QObject *parent = nullptr);

    void setNetworkAccessManager(QNetworkAccessManager *manager);
    BuildSeries series() const { return m_series; }
    // In ascending order of number.
    const QList<Build> &builds() const { return m_builds; }
    bool isRunning() const { return m_running; }

    // $XDG_CACHE_HOME/<organisation>/<application>.
    static QString cacheDirectory();
    QString cachePath() const;

    // Reads the cache (throwing a damaged one away) and lists what was published since.
    // Reports with finished(); builds() holds what the cache had when the listing fails.
    void refresh();

    // The newest build at or below number; -1 when none is.
    int newestAtOrBelow(int number) const;
    // The newest build created before the instant given; -1 when none was.
    int newestCreatedBefore(const QDateTime &instant) const;
    const Build *find(int number) const;

    // The pieces, as pure functions.
    static QUrl address(const BuildSeries &series, int from, const QString &pageToken);
    static bool parsePage(const QByteArray &json, const BuildSeries &series, QList<Build> *builds,
                          QString *nextPageToken);
    static QByteArray serialize(const BuildSeries &series, const QList<Build> &builds);
    static std::optional<QList<Build>> deserialize(const QByteArray &data,
                                                   const BuildSeries &series);
    // Sorted by number, each once (the later wins), at most maximumBuilds of the newest.
    static QList<Build> merged(QList<Build> builds);

signals:
    // error: one line saying why the listing could not be read; empty on success.
    void finished(bool succeeded, const QString &error);

private:
    void loadCache();
    void askLatest();
    void requestPage(const QString &pageToken);
    void pageArrived(bool complete, int httpStatus, const QByteArray &body, const QString &why);
    void finish(const QString &error);

    BuildSeries m_series;
    TextFetch *m_fetch;
    TextFetch *m_latest;
    QList<Build> m_builds;
    QList<Build> m_arriving;
    int m_from = -1;
    int m_pages = 0;
    bool m_running = false;
};

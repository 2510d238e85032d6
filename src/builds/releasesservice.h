#pragma once

#include "builds/buildquery.h"

#include <QHash>
#include <QObject>

class QNetworkAccessManager;
class TextFetch;

// Where a Chromium version or milestone lies on trunk, as the releases service Chromium's own
// tools use says: a version's trunk position is its milestone's branch point, which never
// moves once it is known, so every answer is kept for good in the user's cache folder.
class ReleasesService : public QObject
{
    Q_OBJECT

public:
    static constexpr qint64 maximumSize = 4 * 1024 * 1024;
    // Trunk, not yet branched: the newest build stands for it.
    static constexpr int trunk = 0x7fffffff;

    explicit ReleasesService(QObject *parent = nullptr);

    void setNetworkAccessManager(QNetworkAccessManager *manager);
    static QString cachePath();

    // The highest trunk position a version or milestone query stands for: the version's
    // branch point; the milestone's branch point, or `trunk` while it has not branched.
    // Reports with answered().
    void findPosition(const BuildQuery &wanted);
    // The commit at a trunk position (GET /fetch_commit?commit_position=N), reported with
    // commitFound(); one at a time besides a position.
    void findCommit(int position);

    // The pieces, as pure functions. A trunk position given as a number or as digits.
    static int versionPosition(const QByteArray &json);
    // Milestone -> branch position (0 where the milestone is listed but has not branched);
    // empty with *valid false when the answer is no list.
    static QHash<int, int> milestoneBranches(const QByteArray &json, bool *valid);
    static QHash<QString, int> readCache(const QByteArray &data);
    // The 40 hex digits of the answer's "commit"; empty for anything else.
    static QString commitFrom(const QByteArray &json);

signals:
    // position is -1 and error one line saying why when there is none.
    void answered(int position, const QString &error);
    // commit is empty when the service does not know it or does not answer.
    void commitFound(int position, const QString &commit);

private:
    void arrived(int httpStatus, bool complete, const QByteArray &body, const QString &why);
    int positionFrom(int httpStatus, const QByteArray &body, QString *error) const;
    void remember(const QString &key, int position);
    QString key() const;

    TextFetch *m_fetch;
    TextFetch *m_commitFetch;
    int m_commitPosition = -1;
    BuildQuery m_wanted;
};

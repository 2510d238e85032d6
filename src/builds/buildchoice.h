#pragma once

#include "builds/buildquery.h"
#include "builds/buildseries.h"

#include <QObject>

class PublishedBuilds;
class QNetworkAccessManager;
class ReleasesService;

// Which published build a person's request stands for: a number, the newest published at or
// below it; a day, the newest created before that day ended (UTC); a version, the newest at
// or below its trunk position; a milestone, the newest at or below its branch point (the
// newest of all while it is still trunk).
class BuildChoice : public QObject
{
    Q_OBJECT

public:
    explicit BuildChoice(const BuildSeries &series, QObject *parent = nullptr);

    void setNetworkAccessManager(QNetworkAccessManager *manager);
    PublishedBuilds *published() const { return m_published; }

    // Reports with chosen() or failed(), once.
    void resolve(const QString &text);
    bool isRunning() const { return m_running; }

    // The build in the list that the request names, given the releases service's position for a
    // version or milestone; -1 with *error set when there is none.
    static int pick(const BuildQuery &wanted, int position, const PublishedBuilds &published,
                    QString *error);
    // What the person should know of the build chosen; empty when nothing.
    static QString note(const BuildQuery &wanted, int build);

signals:
    void chosen(int build, const QString &note);
    // One line saying why no build was chosen.
    void failed(const QString &error);

private:
    void listed(bool succeeded, const QString &error);
    void fail(const QString &error);

    PublishedBuilds *m_published;
    ReleasesService *m_releases;
    BuildQuery m_wanted;
    int m_position = -1;
    bool m_running = false;
};

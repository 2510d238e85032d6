#include "builds/buildchoice.h"

#include "builds/publishedbuilds.h"
#include "builds/releasesservice.h"

#include <QTimer>

BuildChoice::BuildChoice(const BuildSeries &series, QObject *parent)
    : QObject(parent)
    , m_published(new PublishedBuilds(series, this))
    , m_releases(new ReleasesService(this))
{
    connect(m_published, &PublishedBuilds::finished, this, &BuildChoice::listed);
    connect(m_releases, &ReleasesService::answered, this,
            [this](int position, const QString &error) {
                if (position < 0)
                    return fail(error);
                m_position = position;
                m_published->refresh();
            });
}

void BuildChoice::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_published->setNetworkAccessManager(manager);
    m_releases->setNetworkAccessManager(manager);
}

void BuildChoice::resolve(const QString &text)
{
    if (m_running)
        return;
    m_running = true;
    m_wanted = BuildQuery::parse(text);
    m_position = -1;
    switch (m_wanted.kind) {
    case BuildQuery::Invalid: {
        const QString error
            = tr("\"%1\" names no build: give a build number, a version such as 131.0.6778.85, "
                 "a milestone such as M131 or a day such as 2026-11-01")
                  .arg(text.left(100));
        QTimer::singleShot(0, this, [this, error] { fail(error); });
        return;
    }
    case BuildQuery::Version:
    case BuildQuery::Milestone:
        m_releases->findPosition(m_wanted);
        return;
    case BuildQuery::Number:
    case BuildQuery::Date:
        m_published->refresh();
        return;
    }
}

void BuildChoice::listed(bool succeeded, const QString &error)
{
    if (!m_running)
        return;
    if (!succeeded)
        return fail(error);
    QString why;
    const int build = pick(m_wanted, m_position, *m_published, &why);
    if (build < 0)
        return fail(why);
    m_running = false;
    emit chosen(build, note(m_wanted, build));
}

void BuildChoice::fail(const QString &error)
{
    m_running = false;
    emit failed(error);
}

int BuildChoice::pick(const BuildQuery &wanted, int position, const PublishedBuilds &published,
                      QString *error)
{
    int build = -1;
    switch (wanted.kind) {
    case BuildQuery::Number:
        build = published.newestAtOrBelow(wanted.number);
        if (build < 0)
            *error = tr("Build %1 is not published, nor any build below it").arg(wanted.number);
        return build;
    case BuildQuery::Date:
        build = published.newestCreatedBefore(
            QDateTime(wanted.date.addDays(1), QTime(0, 0), Qt::UTC));
        if (build < 0)
            *error = tr("No build was published on or before %1")
                         .arg(wanted.date.toString(Qt::ISODate));
        return build;
    case BuildQuery::Version:
    case BuildQuery::Milestone:
        build = published.newestAtOrBelow(position);
        if (build < 0)
            *error = tr("No build of %1 is published").arg(wanted.text());
        return build;
    case BuildQuery::Invalid:
        break;
    }
    return -1;
}

QString BuildChoice::note(const BuildQuery &wanted, int build)
{
    if (wanted.kind != BuildQuery::Version)
        return QString();
    return tr("Build %1 is the trunk build at %2's branch point, without the release's later "
              "fixes.")
        .arg(build)
        .arg(wanted.version);
}

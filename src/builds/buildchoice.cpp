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
    m_spec = BuildSpec::parse(text);
    m_position = -1;
    switch (m_spec.kind) {
    case BuildSpec::Invalid: {
        const QString error
            = tr("\"%1\" names no build: give a build number, a version such as 131.0.6778.85, "
                 "a milestone such as M131 or a day such as 2026-11-01")
                  .arg(text.left(100));
        QTimer::singleShot(0, this, [this, error] { fail(error); });
        return;
    }
    case BuildSpec::Version:
    case BuildSpec::Milestone:
        m_releases->findPosition(m_spec);
        return;
    case BuildSpec::Number:
    case BuildSpec::Date:
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
    const int build = pick(m_spec, m_position, *m_published, &why);
    if (build < 0)
        return fail(why);
    m_running = false;
    emit chosen(build, note(m_spec, build));
}

void BuildChoice::fail(const QString &error)
{
    m_running = false;
    emit failed(error);
}

int BuildChoice::pick(const BuildSpec &spec, int position, const PublishedBuilds &published,
                      QString *error)
{
    int build = -1;
    switch (spec.kind) {
    case BuildSpec::Number:
        build = published.newestAtOrBelow(spec.number);
        if (build < 0)
            *error = tr("Build %1 is not published, nor any build below it").arg(spec.number);
        return build;
    case BuildSpec::Date:
        build
            = published.newestCreatedBefore(QDateTime(spec.date.addDays(1), QTime(0, 0), Qt::UTC));
        if (build < 0)
            *error
                = tr("No build was published on or before %1").arg(spec.date.toString(Qt::ISODate));
        return build;
    case BuildSpec::Version:
    case BuildSpec::Milestone:
        build = published.newestAtOrBelow(position);
        if (build < 0)
            *error = tr("No build of %1 is published").arg(spec.text());
        return build;
    case BuildSpec::Invalid:
        break;
    }
    return -1;
}

QString BuildChoice::note(const BuildSpec &spec, int build)
{
    if (spec.kind != BuildSpec::Version)
        return QString();
    return tr("Build %1 is the trunk build at %2's branch point, without the release's later "
              "fixes.")
        .arg(build)
        .arg(spec.version);
}

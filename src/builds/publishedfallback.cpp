#include "builds/publishedfallback.h"

#include "common/updatelog.h"

PublishedFallback::PublishedFallback(QObject *parent)
    : QObject(parent)
    , m_listing(new BuildListing(this))
{
    connect(m_listing, &BuildListing::finished, this, &PublishedFallback::listingAnswered);
}

void PublishedFallback::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_listing->setNetworkAccessManager(manager);
}

QByteArray PublishedFallback::generation(int build) const
{
    return m_published.build == build ? m_published.generation : QByteArray();
}

void PublishedFallback::forgetGeneration()
{
    m_published = BuildListing::Object();
}

void PublishedFallback::lookFor(const BuildSeries &series, int build, int installed,
                                const QString &why)
{
    m_build = build;
    m_why = why;
    if (m_published.build == build) {
        // The build the listing named is missing too (a mirror that lags, say). Asking again
        // would name the next one below, and that the next: the attempt ends here, and the
        // next check asks the listing once more.
        qCInfo(lcUpdate) << "Build" << build << "the listing named is not published";
        m_published = BuildListing::Object();
        listingAnswered(true, BuildListing::Object());
        return;
    }
    m_listing->findNewest(series, build, qMax(installed, m_newestListed));
}

void PublishedFallback::listingAnswered(bool answered, const BuildListing::Object &listed)
{
    if (!answered) {
        emit unanswered(m_why);
        return;
    }
    m_newestListed = qMax(m_newestListed, listed.build);
    // Read upward from a known build, a page that is not the last names no build to fetch:
    // the next check reads on from the newest it named.
    const BuildListing::Object newest = listed.more ? BuildListing::Object() : listed;
    qCInfo(lcUpdate) << "Build" << m_build << "is not published yet; newest published"
                     << newest.build << "newest listed" << m_newestListed;
    m_published = newest;
    emit notPublished(m_build, newest.build);
}

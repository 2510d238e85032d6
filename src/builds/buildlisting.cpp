#include "builds/buildlisting.h"

#include "builds/buildnumber.h"
#include "builds/buildstorage.h"
#include "common/textfetch.h"
#include "common/updatelog.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

#include <algorithm>

namespace {

constexpr int transferTimeout = 30000;

// Names sort as text, so a window must not reach below the unpublished build's number of
// digits: "999" sorts after "1000".
int windowStart(int below)
{
    int lowest = 1;
    while (lowest <= below / 10)
        lowest *= 10;
    return qMax(lowest, below - BuildListing::window);
}

} // namespace

BuildListing::BuildListing(QObject *parent)
    : QObject(parent)
    , m_fetch(new TextFetch(maximumSize, transferTimeout, this))
{
    // A cached listing could be as stale as the LAST_CHANGE that led here.
    m_fetch->setRawHeader("Cache-Control", "no-cache");
    connect(m_fetch, &TextFetch::finished, this, [this](const TextFetch::Result &result) {
        const Page page = result.complete && result.httpStatus == 200
            ? parse(result.body, m_series, m_below)
            : Page();
        qCInfo(lcUpdate) << "Listing HTTP" << result.httpStatus << "newest published build"
                         << page.newest.build;
        if (page.valid && page.newest.build == -1 && !page.nextPageToken.isEmpty()
            && !m_secondPage) {
            m_secondPage = true;
            request(page.nextPageToken);
            return;
        }
        Object newest = page.newest;
        newest.more = farBeyond(m_below, m_known) && !page.nextPageToken.isEmpty();
        emit finished(page.valid, newest);
    });
}

void BuildListing::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_fetch->setNetworkAccessManager(manager);
}

void BuildListing::findNewest(const BuildSeries &series, int below, int known)
{
    if (m_fetch->isRunning())
        return;
    m_series = series;
    m_below = below;
    m_known = known;
    m_secondPage = false;
    request(QString());
}

void BuildListing::request(const QString &pageToken)
{
    const QUrl url = address(m_series, m_below, m_known, pageToken);
    qCInfo(lcUpdate) << "GET" << url.toString();
    m_fetch->get(url);
}

// A build named far beyond any known to exist (LAST_CHANGE = 2147483647, say) would leave the
// window below it empty for as long as it is named. Such a number says nothing of where the
// published builds are, so the listing is read upward instead, from the newest build known to
// exist (the installed one, or one a listing named), or from the folder's first name when none
// is: names sort as text, so "1400000" is followed by every larger number of as many digits.
// The storage lists in ascending order only: a page that is not the last brings builds that
// may not be the newest, and the next question reads on from the newest of them. A build that
// lies within the window of the known one is no fast-forward: the window below it finds the
// newest directly.
bool BuildListing::farBeyond(int below, int known)
{
    return known > 0 ? below - known > window : below >= implausible;
}

QUrl BuildListing::address(const BuildSeries &series, int below, int known,
                           const QString &pageToken)
{
    const QString folder = series.folder() + QLatin1Char('/');
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("prefix"), folder);
    if (!farBeyond(below, known)) {
        query.addQueryItem(QStringLiteral("startOffset"),
                           folder + QString::number(windowStart(below)));
        query.addQueryItem(QStringLiteral("endOffset"), folder + QString::number(below));
    } else if (known > 0) {
        query.addQueryItem(QStringLiteral("startOffset"), folder + QString::number(known));
    }
    query.addQueryItem(QStringLiteral("matchGlob"),
                       folder + QStringLiteral("*/") + series.artifact());
    // Only what describes an archive; of it only the name and the generation are read here,
    // since the archive's own answer brings its size and checksums again.
    query.addQueryItem(QStringLiteral("fields"),
                       QStringLiteral("items(name,size,generation,crc32c,md5Hash),nextPageToken"));
    if (!pageToken.isEmpty())
        query.addQueryItem(QStringLiteral("pageToken"), pageToken);
    // The mirror in use answers the listing too: it stands for the whole storage.
    QUrl url = BuildStorage::url(series.listingPath());
    url.setQuery(query.query(QUrl::FullyEncoded), QUrl::StrictMode);
    return url;
}

BuildListing::Page BuildListing::parse(const QByteArray &json, const BuildSeries &series, int below)
{
    Page page;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return page;
    page.valid = true;
    const QJsonObject root = document.object();
    page.nextPageToken = root.value(QLatin1String("nextPageToken")).toString();
    const QJsonArray items = root.value(QLatin1String("items")).toArray();
    for (const QJsonValue &value : items) {
        const QJsonObject item = value.toObject();
        const int build = buildOf(item.value(QLatin1String("name")).toString(), series);
        if (build <= page.newest.build || build >= below)
            continue;
        page.newest.build = build;
        page.newest.generation = item.value(QLatin1String("generation")).toString().toLatin1();
    }
    return page;
}

int BuildListing::buildOf(const QString &objectName, const BuildSeries &series)
{
    const QString prefix = series.folder() + QLatin1Char('/');
    const QString suffix = QLatin1Char('/') + series.artifact();
    if (!objectName.startsWith(prefix) || !objectName.endsWith(suffix))
        return -1;
    const QString number
        = objectName.mid(prefix.size(), objectName.size() - prefix.size() - suffix.size());
    const bool digits = !number.isEmpty()
        && std::all_of(number.begin(), number.end(), [](QChar c) { return c.isDigit(); });
    return digits ? BuildNumber::parse(number.toLatin1()) : -1;
}

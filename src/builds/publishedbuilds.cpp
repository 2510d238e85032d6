#include "builds/publishedbuilds.h"

#include "builds/buildlisting.h"
#include "builds/buildnumber.h"
#include "builds/buildstorage.h"
#include "common/textfetch.h"
#include "common/updatelog.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QSaveFile>
#include <QStandardPaths>
#include <QUrlQuery>

#include <algorithm>

namespace {

constexpr int transferTimeout = 30000;
constexpr qint64 maximumCacheSize = qint64(PublishedBuilds::maximumBuilds) * 80;
// More pages than the largest list kept could need: a server that never stops is given up.
constexpr int maximumPages = PublishedBuilds::maximumBuilds / PublishedBuilds::pageSize + 100;
const QByteArray cacheHeader = QByteArrayLiteral("tarrowin-published-builds 1");

int digits(int number)
{
    return int(QByteArray::number(number).size());
}

bool allDigits(QByteArrayView text)
{
    return !text.isEmpty()
        && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

QByteArray seriesLine(const BuildSeries &series)
{
    return (series.folder() + QLatin1Char('/') + series.artifact()).toUtf8();
}

// The storage sends 64-bit numbers as text; a number is taken too.
qint64 jsonInteger(const QJsonValue &value)
{
    if (value.isDouble())
        return qint64(value.toDouble());
    bool ok = false;
    const qint64 number = value.toString().toLongLong(&ok);
    return ok ? number : -1;
}

std::optional<PublishedBuilds::Build> parseLine(const QByteArray &line)
{
    const QList<QByteArray> fields = line.split(' ');
    if (fields.size() != 4)
        return std::nullopt;
    PublishedBuilds::Build build;
    build.number = allDigits(fields[0]) ? BuildNumber::parse(fields[0]) : -1;
    if (build.number <= 0 || !(allDigits(fields[1]) || fields[1] == "-"))
        return std::nullopt;
    if (fields[1] != "-")
        build.generation = fields[1];
    bool sizeOk = false;
    bool timeOk = false;
    build.size = fields[2].toLongLong(&sizeOk);
    const qint64 created = fields[3].toLongLong(&timeOk);
    if (!sizeOk || !timeOk || build.size < -1 || created < -1)
        return std::nullopt;
    if (created >= 0)
        build.created = QDateTime::fromMSecsSinceEpoch(created, Qt::UTC);
    return build;
}

} // namespace

PublishedBuilds::PublishedBuilds(const BuildSeries &series, QObject *parent)
    : QObject(parent)
    , m_series(series)
    , m_fetch(new TextFetch(maximumPageSize, transferTimeout, this))
    , m_latest(new TextFetch(64, transferTimeout, this))
{
    // A cached page could hide builds published since.
    m_fetch->setRawHeader("Cache-Control", "no-cache");
    m_latest->setRawHeader("Cache-Control", "no-cache");
    connect(m_fetch, &TextFetch::finished, this, [this](const TextFetch::Result &result) {
        pageArrived(result.complete, result.httpStatus, result.body, result.errorString);
    });
    connect(m_latest, &TextFetch::finished, this, [this](const TextFetch::Result &result) {
        const int latest
            = result.complete && result.httpStatus == 200 ? BuildNumber::parse(result.body) : -1;
        const int newest = m_builds.isEmpty() ? -1 : m_builds.constLast().number;
        // Longer names sort among the shorter ones, not after them: read everything again.
        if (latest > 0 && newest > 0 && digits(latest) > digits(newest)) {
            qCInfo(lcUpdate) << "Build" << latest << "has more digits than" << newest
                             << "- listing the series again";
            m_arriving.clear();
            m_from = -1;
        }
        requestPage(QString());
    });
}

void PublishedBuilds::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_fetch->setNetworkAccessManager(manager);
    m_latest->setNetworkAccessManager(manager);
}

QString PublishedBuilds::cacheDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericCacheLocation) + QLatin1Char('/')
        + QCoreApplication::organizationName() + QLatin1Char('/')
        + QCoreApplication::applicationName();
}

QString PublishedBuilds::cachePath() const
{
    QString name = m_series.folder();
    for (QChar &c : name) {
        if (!c.isLetterOrNumber() && c != QLatin1Char('_') && c != QLatin1Char('-'))
            c = QLatin1Char('_');
    }
    return cacheDirectory() + QStringLiteral("/published-") + name + QStringLiteral(".txt");
}

void PublishedBuilds::refresh()
{
    if (m_running)
        return;
    m_running = true;
    loadCache();
    m_arriving = m_builds;
    m_from = m_builds.isEmpty() ? -1 : m_builds.constLast().number;
    if (m_from < 0) {
        requestPage(QString());
        return;
    }
    askLatest();
}

void PublishedBuilds::loadCache()
{
    QFile file(cachePath());
    if (!file.exists()) {
        m_builds.clear();
        return;
    }
    std::optional<QList<Build>> cached;
    if (file.open(QIODevice::ReadOnly) && file.size() <= maximumCacheSize)
        cached = deserialize(file.readAll(), m_series);
    file.close();
    if (!cached) {
        qCWarning(lcUpdate) << "Throwing away the damaged list of builds" << file.fileName();
        file.remove();
    }
    m_builds = cached.value_or(QList<Build>());
}

void PublishedBuilds::askLatest()
{
    m_latest->get(BuildStorage::url(m_series.lastChangePath()));
}

void PublishedBuilds::requestPage(const QString &pageToken)
{
    m_pages = pageToken.isEmpty() ? 1 : m_pages + 1;
    const QUrl url = address(m_series, m_from, pageToken);
    qCInfo(lcUpdate) << "GET" << url.toString();
    m_fetch->get(url);
}

void PublishedBuilds::pageArrived(bool complete, int httpStatus, const QByteArray &body,
                                  const QString &why)
{
    if (!complete || httpStatus != 200) {
        const QString cause
            = httpStatus > 0 && complete ? tr("HTTP status %1").arg(httpStatus) : why;
        finish(tr("The storage's list of builds could not be read: %1").arg(cause));
        return;
    }
    QString next;
    if (!parsePage(body, m_series, &m_arriving, &next)) {
        finish(tr("The storage's list of builds could not be read: it is not valid JSON"));
        return;
    }
    if (!next.isEmpty()) {
        if (m_pages >= maximumPages)
            finish(tr("The storage's list of builds could not be read: it does not end"));
        else
            requestPage(next);
        return;
    }
    m_builds = merged(m_arriving);
    QDir().mkpath(cacheDirectory());
    QSaveFile file(cachePath());
    if (!file.open(QIODevice::WriteOnly) || file.write(serialize(m_series, m_builds)) < 0
        || !file.commit())
        qCWarning(lcUpdate) << "Could not keep the list of builds in" << file.fileName();
    finish(QString());
}

void PublishedBuilds::finish(const QString &error)
{
    m_arriving.clear();
    m_running = false;
    // Whoever asked tells the person; a script wants the one line.
    emit finished(error.isEmpty(), error);
}

int PublishedBuilds::newestAtOrBelow(int number) const
{
    const auto after
        = std::upper_bound(m_builds.cbegin(), m_builds.cend(), number,
                           [](int value, const Build &build) { return value < build.number; });
    return after == m_builds.cbegin() ? -1 : std::prev(after)->number;
}

int PublishedBuilds::newestCreatedBefore(const QDateTime &instant) const
{
    for (auto it = m_builds.crbegin(); it != m_builds.crend(); ++it) {
        if (it->created.isValid() && it->created < instant)
            return it->number;
    }
    return -1;
}

const PublishedBuilds::Build *PublishedBuilds::find(int number) const
{
    const auto at
        = std::lower_bound(m_builds.cbegin(), m_builds.cend(), number,
                           [](const Build &build, int value) { return build.number < value; });
    return at != m_builds.cend() && at->number == number ? &*at : nullptr;
}

QUrl PublishedBuilds::address(const BuildSeries &series, int from, const QString &pageToken)
{
    const QString folder = series.folder() + QLatin1Char('/');
    QUrlQuery query;
    query.addQueryItem(QStringLiteral("prefix"), folder);
    if (from > 0)
        query.addQueryItem(QStringLiteral("startOffset"), folder + QString::number(from));
    query.addQueryItem(QStringLiteral("matchGlob"),
                       folder + QStringLiteral("*/") + series.artifact());
    // What the list keeps of each archive, and the link to the next page.
    query.addQueryItem(QStringLiteral("fields"),
                       QStringLiteral("items(name,size,generation,timeCreated),nextPageToken"));
    query.addQueryItem(QStringLiteral("maxResults"), QString::number(pageSize));
    if (!pageToken.isEmpty())
        query.addQueryItem(QStringLiteral("pageToken"), pageToken);
    QUrl url = BuildStorage::url(series.listingPath());
    url.setQuery(query.query(QUrl::FullyEncoded), QUrl::StrictMode);
    return url;
}

bool PublishedBuilds::parsePage(const QByteArray &json, const BuildSeries &series,
                                QList<Build> *builds, QString *nextPageToken)
{
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return false;
    const QJsonObject root = document.object();
    *nextPageToken = root.value(QLatin1String("nextPageToken")).toString();
    const QJsonArray items = root.value(QLatin1String("items")).toArray();
    for (const QJsonValue &value : items) {
        const QJsonObject item = value.toObject();
        Build build;
        build.number = BuildListing::buildOf(item.value(QLatin1String("name")).toString(), series);
        const QByteArray generation = item.value(QLatin1String("generation")).toString().toLatin1();
        if (build.number <= 0)
            continue;
        build.generation = allDigits(generation) ? generation : QByteArray();
        build.size = qMax<qint64>(-1, jsonInteger(item.value(QLatin1String("size"))));
        build.created = QDateTime::fromString(item.value(QLatin1String("timeCreated")).toString(),
                                              Qt::ISODateWithMs)
                            .toUTC();
        builds->append(build);
    }
    return true;
}

QByteArray PublishedBuilds::serialize(const BuildSeries &series, const QList<Build> &builds)
{
    QByteArray data = cacheHeader + '\n' + seriesLine(series) + '\n';
    data.reserve(data.size() + builds.size() * 48);
    for (const Build &build : builds) {
        data += QByteArray::number(build.number) + ' '
            + (build.generation.isEmpty() ? QByteArray("-") : build.generation) + ' '
            + QByteArray::number(build.size) + ' '
            + QByteArray::number(build.created.isValid() ? build.created.toMSecsSinceEpoch() : -1)
            + '\n';
    }
    return data;
}

std::optional<QList<PublishedBuilds::Build>> PublishedBuilds::deserialize(const QByteArray &data,
                                                                          const BuildSeries &series)
{
    if (!data.endsWith('\n'))
        return std::nullopt;
    QList<QByteArray> lines = data.chopped(1).split('\n');
    if (lines.size() < 2 || lines[0] != cacheHeader || lines[1] != seriesLine(series)
        || lines.size() - 2 > maximumBuilds)
        return std::nullopt;
    QList<Build> builds;
    builds.reserve(lines.size() - 2);
    for (qsizetype i = 2; i < lines.size(); ++i) {
        const std::optional<Build> build = parseLine(lines[i]);
        // Written in ascending order: anything else was not written by us.
        if (!build || (!builds.isEmpty() && build->number <= builds.constLast().number))
            return std::nullopt;
        builds.append(*build);
    }
    return builds;
}

QList<PublishedBuilds::Build> PublishedBuilds::merged(QList<Build> builds)
{
    std::stable_sort(builds.begin(), builds.end(),
                     [](const Build &a, const Build &b) { return a.number < b.number; });
    QList<Build> result;
    result.reserve(builds.size());
    for (const Build &build : builds) {
        if (!result.isEmpty() && result.constLast().number == build.number)
            result.last() = build;
        else
            result.append(build);
    }
    if (result.size() > maximumBuilds)
        result.remove(0, result.size() - maximumBuilds);
    return result;
}

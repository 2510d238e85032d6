#include "builds/releasesservice.h"

#include "builds/publishedbuilds.h"
#include "common/endpoints.h"
#include "common/textfetch.h"
#include "common/updatelog.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSaveFile>
#include <QTimer>
#include <QUrlQuery>

namespace {

constexpr int transferTimeout = 30000;
constexpr qint64 maximumCacheSize = 1024 * 1024;
const QLatin1String positionField("chromium_main_branch_position");

// A position or milestone as a number or as digits; -1 for anything else.
int positiveInteger(const QJsonValue &value)
{
    if (value.isDouble()) {
        const double number = value.toDouble();
        return number >= 1 && number < ReleasesService::trunk && number == qint64(number)
            ? int(number)
            : -1;
    }
    bool ok = false;
    const int number = value.toString().trimmed().toInt(&ok);
    return ok && number > 0 ? number : -1;
}

} // namespace

ReleasesService::ReleasesService(QObject *parent)
    : QObject(parent)
    , m_fetch(new TextFetch(maximumSize, transferTimeout, this))
    , m_commitFetch(new TextFetch(maximumSize, transferTimeout, this))
{
    connect(m_commitFetch, &TextFetch::finished, this, [this](const TextFetch::Result &result) {
        const bool whole = result.httpStatus == 200 && result.complete;
        emit commitFound(m_commitPosition, whole ? commitFrom(result.body) : QString());
    });
    connect(m_fetch, &TextFetch::finished, this, [this](const TextFetch::Result &result) {
        arrived(result.httpStatus, result.complete, result.body, result.errorString);
    });
}

void ReleasesService::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_fetch->setNetworkAccessManager(manager);
    m_commitFetch->setNetworkAccessManager(manager);
}

void ReleasesService::findCommit(int position)
{
    if (m_commitFetch->isRunning())
        return;
    m_commitPosition = position;
    QUrl url = Endpoints::releases();
    url.setPath(QStringLiteral("/fetch_commit"));
    url.setQuery(QStringLiteral("commit_position=") + QString::number(position));
    qCInfo(lcUpdate) << "GET" << url.toString();
    m_commitFetch->get(url);
}

QString ReleasesService::commitFrom(const QByteArray &json)
{
    // Only what reads as a commit goes into a link.
    static const QRegularExpression hash(QStringLiteral("^[0-9a-f]{40}$"));
    const QString commit
        = QJsonDocument::fromJson(json).object().value(QLatin1String("commit")).toString();
    return hash.match(commit).hasMatch() ? commit : QString();
}

QString ReleasesService::cachePath()
{
    return PublishedBuilds::cacheDirectory() + QStringLiteral("/releases.txt");
}

QString ReleasesService::key() const
{
    return m_wanted.text();
}

void ReleasesService::findPosition(const BuildQuery &wanted)
{
    if (m_fetch->isRunning())
        return;
    m_wanted = wanted;
    QFile file(cachePath());
    const QHash<QString, int> cache
        = file.size() <= maximumCacheSize && file.open(QIODevice::ReadOnly)
        ? readCache(file.readAll())
        : QHash<QString, int>();
    if (const int known = cache.value(key(), -1); known > 0) {
        QTimer::singleShot(0, this, [this, known] { emit answered(known, QString()); });
        return;
    }
    QUrl url = Endpoints::releases();
    QUrlQuery query;
    if (wanted.kind == BuildQuery::Version) {
        url.setPath(QStringLiteral("/fetch_version"));
        query.addQueryItem(QStringLiteral("version"), wanted.version);
    } else {
        url.setPath(QStringLiteral("/fetch_milestones"));
    }
    url.setQuery(query);
    qCInfo(lcUpdate) << "GET" << url.toString();
    m_fetch->get(url);
}

void ReleasesService::arrived(int httpStatus, bool complete, const QByteArray &body,
                              const QString &why)
{
    QString error;
    int position = -1;
    if (httpStatus == 0 || (httpStatus == 200 && !complete))
        error = tr("The releases service cannot be reached: %1").arg(why);
    else
        position = positionFrom(httpStatus, body, &error);
    if (position > 0 && position != trunk)
        remember(key(), position);
    emit answered(error.isEmpty() ? position : -1, error);
}

int ReleasesService::positionFrom(int httpStatus, const QByteArray &body, QString *error) const
{
    const bool version = m_wanted.kind == BuildQuery::Version;
    const QString unknown = version
        ? tr("The releases service does not know version %1").arg(m_wanted.version)
        : tr("The releases service does not know milestone M%1").arg(m_wanted.number);
    if (httpStatus != 200) {
        // Asked of a version it has never heard of, the service answers with an error.
        *error = httpStatus == 404 || httpStatus == 400
            ? unknown
            : tr("The releases service cannot be reached: HTTP status %1").arg(httpStatus);
        return -1;
    }
    int position = -1;
    if (version) {
        position = versionPosition(body);
    } else {
        bool valid = false;
        const QHash<int, int> branches = milestoneBranches(body, &valid);
        if (!valid) {
            *error = tr("The releases service's answer could not be read");
            return -1;
        }
        // A milestone not yet branched is trunk; so is the one after the newest branch.
        const bool onTrunk
            = (branches.contains(m_wanted.number) && branches.value(m_wanted.number) == 0)
            || (!branches.contains(m_wanted.number) && branches.value(m_wanted.number - 1) > 0);
        position = onTrunk ? trunk : branches.value(m_wanted.number, -1);
    }
    if (position <= 0)
        *error = unknown;
    return position;
}

void ReleasesService::remember(const QString &key, int position)
{
    QFile file(cachePath());
    QHash<QString, int> cache = file.size() <= maximumCacheSize && file.open(QIODevice::ReadOnly)
        ? readCache(file.readAll())
        : QHash<QString, int>();
    file.close();
    cache.insert(key, position);
    QByteArray data;
    for (auto it = cache.cbegin(); it != cache.cend(); ++it)
        data += it.key().toLatin1() + ' ' + QByteArray::number(it.value()) + '\n';
    QDir().mkpath(PublishedBuilds::cacheDirectory());
    QSaveFile out(cachePath());
    if (data.size() > maximumCacheSize || !out.open(QIODevice::WriteOnly) || out.write(data) < 0
        || !out.commit())
        qCWarning(lcUpdate) << "Could not keep what the releases service said in" << cachePath();
}

int ReleasesService::versionPosition(const QByteArray &json)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    // One release, or a list of them whose first is the one asked for.
    const QJsonObject release
        = document.isArray() ? document.array().at(0).toObject() : document.object();
    return positiveInteger(release.value(positionField));
}

QHash<int, int> ReleasesService::milestoneBranches(const QByteArray &json, bool *valid)
{
    const QJsonDocument document = QJsonDocument::fromJson(json);
    *valid = document.isArray();
    QHash<int, int> branches;
    for (const QJsonValue &value : document.array()) {
        const QJsonObject entry = value.toObject();
        const int milestone = positiveInteger(entry.value(QLatin1String("milestone")));
        if (milestone > 0)
            branches.insert(milestone, qMax(0, positiveInteger(entry.value(positionField))));
    }
    return branches;
}

QHash<QString, int> ReleasesService::readCache(const QByteArray &data)
{
    // A line that does not read as "<key> <position>" is left out, not trusted.
    QHash<QString, int> cache;
    for (const QByteArray &line : data.split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        bool ok = false;
        const int position = fields.value(1).toInt(&ok);
        const BuildQuery wanted = BuildQuery::parse(QString::fromLatin1(fields.value(0)));
        if (fields.size() == 2 && ok && position > 0 && wanted.kind != BuildQuery::Invalid
            && wanted.text() == QString::fromLatin1(fields[0]))
            cache.insert(wanted.text(), position);
    }
    return cache;
}

#include "builds/objectmetadata.h"

#include "builds/buildstorage.h"
#include "common/textfetch.h"
#include "common/updatelog.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QUrlQuery>

#include <algorithm>

namespace {

constexpr int transferTimeout = 30000;

// The storage writes 64-bit numbers as strings of digits.
QByteArray digits(const QJsonValue &value)
{
    const QByteArray text = value.toString().toLatin1();
    const bool valid = !text.isEmpty() && text.size() <= 18
        && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
    return valid ? text : QByteArray();
}

// A digest the answer names must be strict base64 of its size; an absent one stays empty.
bool takeDigest(QByteArray &slot, const QJsonValue &value, qsizetype size)
{
    if (value.isUndefined())
        return true;
    const auto decoded = QByteArray::fromBase64Encoding(
        value.toString().toLatin1(),
        QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return false;
    slot = decoded.decoded;
    return true;
}

} // namespace

ObjectMetadata::ObjectMetadata(QObject *parent)
    : QObject(parent)
    , m_fetch(new TextFetch(maximumSize, transferTimeout, this))
{
    // A proxy's copy could describe an upload that has since been replaced.
    m_fetch->setRawHeader("Cache-Control", "no-cache");
    connect(m_fetch, &TextFetch::finished, this, [this](const TextFetch::Result &answer) {
        Result result;
        if (answer.httpStatus == 404)
            result.outcome = NotFound;
        else if (answer.tooLarge)
            result.outcome = Malformed;
        else if (answer.complete && answer.httpStatus == 200)
            result = parse(answer.body, m_name);
        qCInfo(lcUpdate) << "Object metadata HTTP" << answer.httpStatus << "outcome"
                         << result.outcome << "size" << result.size << "generation"
                         << result.generation;
        emit finished(result);
    });
}

void ObjectMetadata::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_fetch->setNetworkAccessManager(manager);
}

void ObjectMetadata::fetch(const BuildSeries &series, int build)
{
    if (m_fetch->isRunning())
        return;
    m_name = objectName(series, build);
    const QUrl url = address(series, build);
    qCInfo(lcUpdate) << "GET" << url.toString();
    m_fetch->get(url);
}

QString ObjectMetadata::objectName(const BuildSeries &series, int build)
{
    return series.folder() + QLatin1Char('/') + QString::number(build) + QLatin1Char('/')
        + series.artifact();
}

QUrl ObjectMetadata::address(const BuildSeries &series, int build)
{
    QUrlQuery query;
    // The name comes back too, so that an answer about another object is told apart.
    query.addQueryItem(QStringLiteral("fields"),
                       QStringLiteral("size,generation,md5Hash,crc32c,name"));
    QUrl url = BuildStorage::originUrl(series.listingPath());
    // The object's name is one path segment: its slashes are encoded.
    url.setPath(url.path(QUrl::FullyEncoded) + QLatin1Char('/')
                    + QString::fromLatin1(QUrl::toPercentEncoding(objectName(series, build))),
                QUrl::TolerantMode);
    url.setQuery(query.query(QUrl::FullyEncoded), QUrl::StrictMode);
    return url;
}

ObjectMetadata::Result ObjectMetadata::parse(const QByteArray &json, const QString &objectName)
{
    Result result;
    result.outcome = Malformed;
    QJsonParseError error;
    const QJsonDocument document = QJsonDocument::fromJson(json, &error);
    if (error.error != QJsonParseError::NoError || !document.isObject())
        return result;
    const QJsonObject object = document.object();
    const QByteArray size = digits(object.value(QLatin1String("size")));
    const QByteArray generation = digits(object.value(QLatin1String("generation")));
    ObjectHash::Expected expected;
    if (object.value(QLatin1String("name")).toString() != objectName || size.isEmpty()
        || generation.isEmpty()
        || !takeDigest(expected.crc32c, object.value(QLatin1String("crc32c")), 4)
        || !takeDigest(expected.md5, object.value(QLatin1String("md5Hash")), 16)
        || (expected.crc32c.isEmpty() && expected.md5.isEmpty()))
        return result;
    expected.present = true;
    result = { Found, size.toLongLong(), generation, expected };
    return result;
}

bool ObjectMetadata::matches(const Result &origin, const Transfer &transfer)
{
    if (origin.outcome != Found || transfer.size != origin.size)
        return false;
    // A server that names no generation is judged by its bytes alone.
    if (!transfer.generation.isEmpty() && transfer.generation != origin.generation)
        return false;
    const auto same = [](const QByteArray &given, const QByteArray &computed) {
        return given.isEmpty() || given == computed;
    };
    return same(origin.expected.crc32c, transfer.crc32c) && same(origin.expected.md5, transfer.md5);
}

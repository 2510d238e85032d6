#pragma once

#include "builds/buildseries.h"
#include "transfer/objecthash.h"

#include <QByteArray>
#include <QObject>
#include <QUrl>

class QNetworkAccessManager;
class TextFetch;

// Asks the public storage itself, never a mirror, what one build's archive is: its size, its
// upload (generation) and its checksums. A mirror hands out the bytes and the checksums that
// come with them, so it can forge both; what the storage says of the object it cannot.
class ObjectMetadata : public QObject
{
    Q_OBJECT

public:
    enum Outcome {
        Found,
        NotFound, // the storage holds no such object
        Unreachable, // no answer, or an error status
        Malformed, // an answer, but not one describing the object asked about
    };
    Q_ENUM(Outcome)
    struct Result
    {
        Outcome outcome = Unreachable;
        qint64 size = -1;
        QByteArray generation;
        // Raw digests; at least one of them when found.
        ObjectHash::Expected expected;
    };
    // What a finished transfer brought: its size, the generation its server named (empty
    // when none) and the digests computed of its bytes (empty where not computed).
    struct Transfer
    {
        qint64 size = -1;
        QByteArray generation;
        QByteArray crc32c;
        QByteArray md5;
    };

    // The answer is a few short fields; anything longer is not one.
    static constexpr qint64 maximumSize = 16 * 1024;

    explicit ObjectMetadata(QObject *parent = nullptr);

    void setNetworkAccessManager(QNetworkAccessManager *manager);
    // Asks about the archive of build; reports with finished(). Ignored while a question is
    // under way: that one will report.
    void fetch(const BuildSeries &series, int build);

    static QString objectName(const BuildSeries &series, int build);
    static QUrl address(const BuildSeries &series, int build);
    static Result parse(const QByteArray &json, const QString &objectName);
    // Whether the transfer is the object the storage described: the same size, the same
    // generation where its server named one, and a digest for every one the storage gave,
    // each equal to it. CRC-32C alone is easily forged, so where the storage gives MD5 the
    // transfer's MD5 must have been computed too.
    static bool matches(const Result &origin, const Transfer &transfer);

signals:
    void finished(const ObjectMetadata::Result &result);

private:
    TextFetch *m_fetch;
    QString m_name;
};

#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QObject>
#include <QPair>
#include <QPointer>
#include <QSslConfiguration>
#include <QUrl>

class QTcpServer;
class QTcpSocket;
class QUrlQuery;

// A scripted HTTP/1.1 server on 127.0.0.1 for tests: each path answers with the response
// set for it, byte for byte, including broken ones (stalls, early closes, endless bodies).
// With a TLS configuration it serves HTTPS instead.
class LoopbackServer : public QObject
{
    Q_OBJECT

public:
    struct Response
    {
        int status = 200;
        QList<QPair<QByteArray, QByteArray>> headers;
        QByteArray body;
        bool announceLength = true; // send Content-Length
        bool chunked = false; // send the body in chunked transfer coding
        qint64 stallAfter = -1; // send this many body bytes, then hold the connection open
        qint64 closeAfter = -1; // send this many body bytes, then close the connection
        bool endless = false; // repeat the body until the client goes away
        int trickleIntervalMs = 0; // send one body byte per interval
        int trickleBytes = 1; // how much each interval sends
        bool held = false; // answer only when release() is called for the path
        // Answer "Range: bytes=K-" with a 206 for the rest of the body, never cut off...
        bool ranges = false;
        // ...but the first request for the range from this byte (without one: the range that
        // holds byte cutRangeAt) is closed half-way or at cutRangeAt, or held open there.
        qint64 cutRangeFrom = -1;
        qint64 cutRangeAt = -1;
        bool holdCut = false;
        // A 206 carries these headers instead and is cut from this body, when set: the
        // object was replaced between the answers.
        QList<QPair<QByteArray, QByteArray>> rangeHeaders {};
        QByteArray rangeBody {};
        qint64 alterRangeAt = -1; // only the first range holding this byte comes from rangeBody
        qint64 refuseRangeAt = -1; // the first range holding this byte is refused with a 416
    };

    explicit LoopbackServer(QObject *parent = nullptr);
    // HTTPS with the suite's self-signed certificate for 127.0.0.1, or with another pair
    // in support/tls: "castorage" is one for 127.0.0.1 issued by "Tarrowin Test CA"
    // (testca.crt).
    static std::unique_ptr<LoopbackServer> tls(const QString &certificate
                                               = QStringLiteral("loopback"));

    QUrl url(const QString &path = QString()) const;
    quint16 port() const;

    void setResponse(const QString &path, const Response &response);
    // Shorthands for common answers.
    void serve(const QString &path, const QByteArray &body, int status = 200);
    void redirect(const QString &path, const QByteArray &location, int status = 302);
    // The answer to requests for path that carry a Range header.
    void setRangeResponse(const QString &path, const Response &response);
    // The storage's JSON object listing, naming those of these objects (of this generation,
    // when given) that lie in the query's startOffset and endOffset, as the storage does.
    void serveListing(const QStringList &objectNames, const QString &generation = {});
    // The same for objects described in full (name, size, generation, timeCreated), listed in
    // name order, in pages of maxResults (1000 unless asked) linked by pageToken.
    void serveListingObjects(const QList<QJsonObject> &objects);
    // The storage's own description of one object (its JSON objects API, as ObjectMetadata
    // asks for it): the size, generation and checksums of body. Returns the path it answers.
    QString serveMetadata(const QString &objectName, const QByteArray &body,
                          const QByteArray &generation = "7");

    // Forgets the answer for path and the requests seen so far, so a long-running test
    // keeps nothing of its past rounds.
    void forget(const QString &path);
    void clearRequests()
    {
        m_requests.clear();
        m_rangeHeaders.clear();
    }

    // Answers the requests held for path so far, and later ones at once.
    void release(const QString &path);

    // Paths requested so far, in order.
    QStringList requests() const { return m_requests; }
    int requestCount(const QString &path) const { return m_requests.count(path); }
    // The request line and headers of the last request, as they arrived.
    QByteArray lastRequestHead() const { return m_lastHead; }
    // The Range header of each request so far, in order; empty where none was sent.
    QByteArrayList rangeHeaders() const { return m_rangeHeaders; }
    // Body bytes written to clients so far, over every connection.
    qint64 bodyBytesSent() const { return m_bodyBytesSent; }
    // The most requests that were open at once, from their arrival until their connection
    // closed.
    int mostAtOnce() const { return m_mostAtOnce; }

    // Makes the suite's certificate trusted by every client in this process.
    static void trustTestCertificate();

    // The build storage's "x-goog-hash" value for body, naming the hashes asked for.
    static QByteArray storageHash(const QByteArray &body, bool crc32c = true, bool md5 = true);

signals:
    void requested(const QString &path);

private:
    explicit LoopbackServer(const QSslConfiguration &tls, QObject *parent);
    void listen();
    void handle(QTcpSocket *socket);
    void respond(QTcpSocket *socket, const QString &path, const QByteArray &range = {});
    QByteArray listing(const QUrlQuery &query) const;
    QByteArray pagedListing(const QUrlQuery &query, const QString &from, const QString &to) const;

    QTcpServer *m_server = nullptr;
    QHash<QString, Response> m_responses;
    QHash<QString, Response> m_rangeResponses;
    QByteArrayList m_rangeHeaders;
    QList<QPair<QPointer<QTcpSocket>, QString>> m_held;
    QStringList m_requests;
    QByteArray m_lastHead;
    qint64 m_bodyBytesSent = 0;
    int m_open = 0;
    int m_mostAtOnce = 0;
    bool m_tls = false;
    QStringList m_listed;
    QString m_listedGeneration;
    QList<QJsonObject> m_listedObjects;
};

Q_DECLARE_METATYPE(LoopbackServer::Response)

#include "support/loopbackserver.h"

#include "transfer/crc32c.h"
#include <QCryptographicHash>
#include <QtEndian>

#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QSslKey>
#include <QSslServer>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <QUrlQuery>

#include <algorithm>

namespace {

const QString listingPath = QStringLiteral("/storage/v1/b/chromium-browser-snapshots/o");
const qint64 endlessLimit = 256 * 1024 * 1024; // keeps a forgotten client from looping forever

QByteArray readFile(const QString &name)
{
    QFile file(QStringLiteral(TARROWIN_TEST_SUPPORT_DIR "/tls/") + name);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

QSslCertificate testCertificate()
{
    return QSslCertificate(readFile(QStringLiteral("loopback.crt")), QSsl::Pem);
}

// Writes one response body onto a socket as the client drains it, with the scripted faults.
class BodyWriter : public QObject
{
public:
    BodyWriter(QTcpSocket *socket, const LoopbackServer::Response &response, qint64 &total)
        : QObject(socket)
        , m_socket(socket)
        , m_response(response)
        , m_total(total)
    {
        connect(socket, &QTcpSocket::bytesWritten, this, &BodyWriter::pump);
        if (auto *tls = qobject_cast<QSslSocket *>(socket))
            connect(tls, &QSslSocket::encryptedBytesWritten, this, &BodyWriter::pump);
        if (response.trickleIntervalMs > 0) {
            auto *timer = new QTimer(this);
            connect(timer, &QTimer::timeout, this, [this] {
                m_trickled = false;
                pump();
            });
            timer->start(response.trickleIntervalMs);
        }
        pump();
    }

private:
    qint64 limit() const
    {
        qint64 total = m_response.endless ? endlessLimit : m_response.body.size();
        if (m_response.stallAfter >= 0)
            total = qMin(total, m_response.stallAfter);
        if (m_response.closeAfter >= 0)
            total = qMin(total, m_response.closeAfter);
        return total;
    }

    void pump()
    {
        if (m_done || m_socket->bytesToWrite() > 4 * 1024 * 1024)
            return;
        const qint64 total = limit();
        if (m_sent < total) {
            qint64 count = qMin<qint64>(total - m_sent, 1024 * 1024);
            if (m_response.trickleIntervalMs > 0) {
                if (m_trickled)
                    return; // the timer sends the next piece
                m_trickled = true;
                count = qMin<qint64>(total - m_sent, m_response.trickleBytes);
            }
            QByteArray piece;
            const QByteArray &body = m_response.body;
            while (piece.size() < count) {
                const qint64 offset = (m_sent + piece.size()) % qMax<qint64>(body.size(), 1);
                piece += body.mid(offset, count - piece.size());
                if (body.isEmpty())
                    piece += QByteArray(count - piece.size(), 'x');
            }
            write(piece);
            m_sent += piece.size();
            m_total += piece.size();
            return;
        }
        if (m_response.stallAfter >= 0 && m_sent >= m_response.stallAfter)
            return; // hold the connection open, send nothing more
        if (m_response.closeAfter >= 0) {
            // Never inside the socket's own signal: a TLS socket encrypts what was written
            // only once bytesWritten() returns, and still uses the session abort() frees.
            QMetaObject::invokeMethod(this, &BodyWriter::cut, Qt::QueuedConnection);
            return;
        }
        m_done = true;
        if (m_response.chunked)
            m_socket->write("0\r\n\r\n");
        m_socket->disconnectFromHost();
    }

    void cut()
    {
        // What was counted as sent goes out first, encrypted too: only then is the connection
        // cut. The next bytesWritten() or encryptedBytesWritten() asks again.
        const auto *tls = qobject_cast<QSslSocket *>(m_socket);
        if (m_done || m_socket->bytesToWrite() > 0 || (tls && tls->encryptedBytesToWrite() > 0))
            return;
        m_done = true;
        m_socket->abort();
    }

    void write(const QByteArray &piece)
    {
        if (m_response.chunked)
            m_socket->write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
        else
            m_socket->write(piece);
    }

    QTcpSocket *m_socket;
    LoopbackServer::Response m_response;
    qint64 &m_total; // the server's count of every body byte sent
    qint64 m_sent = 0;
    bool m_done = false;
    bool m_trickled = false; // this interval's piece has gone
};

} // namespace

LoopbackServer::LoopbackServer(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    listen();
}

LoopbackServer::LoopbackServer(const QSslConfiguration &tls, QObject *parent)
    : QObject(parent)
    , m_tls(true)
{
    auto *server = new QSslServer(this);
    server->setSslConfiguration(tls);
    m_server = server;
    listen();
}

std::unique_ptr<LoopbackServer> LoopbackServer::tls(const QString &certificate)
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.setLocalCertificate(
        QSslCertificate(readFile(certificate + QStringLiteral(".crt")), QSsl::Pem));
    configuration.setPrivateKey(QSslKey(readFile(certificate + QStringLiteral(".key")), QSsl::Rsa));
    configuration.setPeerVerifyMode(QSslSocket::VerifyNone);
    return std::unique_ptr<LoopbackServer>(new LoopbackServer(configuration, nullptr));
}

void LoopbackServer::trustTestCertificate()
{
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificate(testCertificate());
    QSslConfiguration::setDefaultConfiguration(configuration);
}

void LoopbackServer::listen()
{
    m_server->listen(QHostAddress::LocalHost);
    connect(m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket *socket = m_server->nextPendingConnection())
            handle(socket);
    });
}

QUrl LoopbackServer::url(const QString &path) const
{
    QUrl url;
    url.setScheme(m_tls ? QStringLiteral("https") : QStringLiteral("http"));
    url.setHost(QStringLiteral("127.0.0.1"));
    url.setPort(port());
    url.setPath(path);
    return url;
}

quint16 LoopbackServer::port() const
{
    return m_server->serverPort();
}

void LoopbackServer::setResponse(const QString &path, const Response &response)
{
    m_responses.insert(path, response);
}

void LoopbackServer::serve(const QString &path, const QByteArray &body, int status)
{
    Response response;
    response.status = status;
    response.body = body;
    setResponse(path, response);
}

void LoopbackServer::redirect(const QString &path, const QByteArray &location, int status)
{
    Response response;
    response.status = status;
    response.headers.append({ "Location", location });
    setResponse(path, response);
}

void LoopbackServer::setRangeResponse(const QString &path, const Response &response)
{
    m_rangeResponses.insert(path, response);
}

void LoopbackServer::serveListing(const QStringList &objectNames, const QString &generation)
{
    m_listed = objectNames;
    m_listedGeneration = generation;
    m_listedObjects.clear();
    serve(listingPath, {});
}

void LoopbackServer::serveListingObjects(const QList<QJsonObject> &objects)
{
    m_listed.clear();
    m_listedObjects = objects;
    std::sort(m_listedObjects.begin(), m_listedObjects.end(), [](const auto &a, const auto &b) {
        return a.value(QLatin1String("name")).toString()
            < b.value(QLatin1String("name")).toString();
    });
    serve(listingPath, {});
}

QString LoopbackServer::serveMetadata(const QString &objectName, const QByteArray &body,
                                      const QByteArray &generation)
{
    const quint32 crc = qToBigEndian(Crc32c::of(body));
    const QJsonObject object {
        { QStringLiteral("name"), objectName },
        { QStringLiteral("size"), QString::number(body.size()) },
        { QStringLiteral("generation"), QString::fromLatin1(generation) },
        { QStringLiteral("crc32c"),
          QString::fromLatin1(QByteArray(reinterpret_cast<const char *>(&crc), 4).toBase64()) },
        { QStringLiteral("md5Hash"),
          QString::fromLatin1(QCryptographicHash::hash(body, QCryptographicHash::Md5).toBase64()) },
    };
    const QString path
        = listingPath + QLatin1Char('/') + QString::fromLatin1(QUrl::toPercentEncoding(objectName));
    serve(path, QJsonDocument(object).toJson());
    return path;
}

void LoopbackServer::release(const QString &path)
{
    m_responses[path].held = false;
    const auto held = std::exchange(m_held, {});
    for (const auto &[socket, heldPath] : held) {
        if (heldPath != path)
            m_held.append({ socket, heldPath });
        else if (socket)
            respond(socket, path, socket->property("range").toByteArray());
    }
}

void LoopbackServer::handle(QTcpSocket *socket)
{
    connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
    auto buffer = std::make_shared<QByteArray>();
    connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
        if (buffer->endsWith("\r\n\r\n"))
            return; // one request per connection; ignore anything after it
        *buffer += socket->readAll();
        if (!buffer->contains("\r\n\r\n"))
            return;
        m_lastHead = buffer->left(buffer->indexOf("\r\n\r\n"));
        const QList<QByteArray> lines = m_lastHead.split('\n');
        const QString path = QString::fromLatin1(lines.value(0).split(' ').value(1));
        QByteArray range;
        for (const QByteArray &line : lines) {
            if (line.toLower().startsWith("range:"))
                range = line.mid(6).trimmed();
        }
        *buffer = "\r\n\r\n";
        m_requests.append(path);
        m_rangeHeaders.append(range);
        m_mostAtOnce = qMax(m_mostAtOnce, ++m_open);
        connect(socket, &QTcpSocket::disconnected, this, [this] { --m_open; });
        emit requested(path);
        respond(socket, path, range);
    });
}

void LoopbackServer::respond(QTcpSocket *socket, const QString &requested, const QByteArray &range)
{
    Response response;
    // An answer set for the path alone answers it with any query.
    const QString path
        = m_responses.contains(requested) ? requested : requested.section(QLatin1Char('?'), 0, 0);
    if (!range.isEmpty() && m_rangeResponses.contains(path)) {
        response = m_rangeResponses.value(path);
    } else if (m_responses.contains(path)) {
        response = m_responses.value(path);
        if (path == listingPath)
            response.body = listing(QUrlQuery(QUrl(requested).query()));
        // "bytes=K-" or "bytes=K-L"
        const QByteArrayList bounds = range.mid(6).split('-');
        const qint64 size = response.body.size();
        const qint64 from
            = range.startsWith("bytes=") && bounds.size() == 2 ? bounds[0].toLongLong() : -1;
        const qint64 to = bounds.value(1).isEmpty() ? size - 1 : bounds.value(1).toLongLong();
        if (response.ranges && from >= 0 && from <= to && to < size) {
            response.status = 206;
            if (!response.rangeHeaders.isEmpty())
                response.headers = response.rangeHeaders;
            response.headers.append({ "Content-Range",
                                      "bytes " + QByteArray::number(from) + '-'
                                          + QByteArray::number(to) + '/'
                                          + QByteArray::number(size) });
            // Altered or refused only in the first request for the range holding the byte.
            const auto within = [from, to](qint64 at) { return at >= from && at <= to; };
            if (response.alterRangeAt >= 0)
                (within(response.alterRangeAt) ? m_responses[path] : response).rangeBody.clear();
            if (!response.rangeBody.isEmpty())
                response.body = response.rangeBody;
            response.body = response.body.mid(from, to - from + 1);
            if (within(response.refuseRangeAt)) {
                m_responses[path].refuseRangeAt = -1;
                response.status = 416;
                response.body.clear();
            }
            const bool holds = response.cutRangeAt > from && response.cutRangeAt <= to;
            const bool cut = from == response.cutRangeFrom || (response.cutRangeFrom < 0 && holds);
            const qint64 cutAfter = holds ? response.cutRangeAt - from : response.body.size() / 2;
            response.closeAfter = cut && !response.holdCut ? cutAfter : -1;
            response.stallAfter = cut && response.holdCut ? cutAfter : -1;
            if (cut)
                m_responses[path].cutRangeFrom = m_responses[path].cutRangeAt = -1;
        }
        if (response.held) {
            socket->setProperty("range", range); // answered as asked once released
            m_held.append({ socket, path });
            return;
        }
    } else {
        response.status = 404;
        response.body = "not found";
    }

    QByteArray head = "HTTP/1.1 " + QByteArray::number(response.status) + " Scripted\r\n";
    for (const auto &[name, value] : std::as_const(response.headers))
        head += name + ": " + value + "\r\n";
    if (response.chunked)
        head += "Transfer-Encoding: chunked\r\n";
    else if (response.announceLength && !response.endless)
        head += "Content-Length: " + QByteArray::number(response.body.size()) + "\r\n";
    head += "Connection: close\r\n\r\n";
    socket->write(head);
    new BodyWriter(socket, response, m_bodyBytesSent);
}

QByteArray LoopbackServer::listing(const QUrlQuery &query) const
{
    // Names compare as text: startOffset is the first one listed, endOffset the first not.
    const QString from = query.queryItemValue(QStringLiteral("startOffset"), QUrl::FullyDecoded);
    const QString to = query.queryItemValue(QStringLiteral("endOffset"), QUrl::FullyDecoded);
    if (!m_listedObjects.isEmpty())
        return pagedListing(query, from, to);
    QJsonArray items;
    for (const QString &name : m_listed) {
        QJsonObject item { { QStringLiteral("name"), name } };
        if (!m_listedGeneration.isEmpty())
            item.insert(QStringLiteral("generation"), m_listedGeneration);
        if (name >= from && (to.isEmpty() || name < to))
            items.append(item);
    }
    return QJsonDocument(QJsonObject { { QStringLiteral("items"), items } }).toJson();
}

QByteArray LoopbackServer::pagedListing(const QUrlQuery &query, const QString &from,
                                        const QString &to) const
{
    const int pageSize = query.hasQueryItem(QStringLiteral("maxResults"))
        ? qMax(1, query.queryItemValue(QStringLiteral("maxResults")).toInt())
        : 1000;
    // The token is where the next page starts.
    const int skip = query.queryItemValue(QStringLiteral("pageToken")).toInt();
    QJsonArray items;
    int matched = 0;
    bool more = false;
    for (const QJsonObject &item : m_listedObjects) {
        const QString name = item.value(QLatin1String("name")).toString();
        if (name < from || (!to.isEmpty() && name >= to))
            continue;
        if (matched++ < skip)
            continue;
        if (items.size() == pageSize) {
            more = true;
            break;
        }
        items.append(item);
    }
    QJsonObject page { { QStringLiteral("items"), items } };
    if (more)
        page.insert(QStringLiteral("nextPageToken"), QString::number(skip + pageSize));
    return QJsonDocument(page).toJson(QJsonDocument::Compact);
}

QByteArray LoopbackServer::storageHash(const QByteArray &body, bool crc32c, bool md5)
{
    QByteArrayList parts;
    if (crc32c) {
        const quint32 crc = qToBigEndian(Crc32c::of(body));
        parts << "crc32c=" + QByteArray(reinterpret_cast<const char *>(&crc), 4).toBase64();
    }
    if (md5)
        parts << "md5=" + QCryptographicHash::hash(body, QCryptographicHash::Md5).toBase64();
    return parts.join(',');
}

void LoopbackServer::forget(const QString &path)
{
    m_responses.remove(path);
    m_rangeResponses.remove(path);
}

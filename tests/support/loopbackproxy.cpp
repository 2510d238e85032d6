#include "support/loopbackproxy.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QUrl>

LoopbackProxy::LoopbackProxy(QObject *parent)
    : QObject(parent)
    , m_server(new QTcpServer(this))
{
    m_server->listen(QHostAddress::LocalHost);
    connect(m_server, &QTcpServer::newConnection, this, [this] {
        while (QTcpSocket *client = m_server->nextPendingConnection()) {
            connect(client, &QTcpSocket::readyRead, this, [this, client] { read(client); });
            connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
        }
    });
}

QString LoopbackProxy::url(const QByteArray &userInfo) const
{
    const QString prefix = userInfo.isEmpty() ? QString() : QString::fromLatin1(userInfo + '@');
    return QLatin1String("http://") + prefix + QLatin1String("127.0.0.1:")
        + QString::number(port());
}

quint16 LoopbackProxy::port() const
{
    return m_server->serverPort();
}

void LoopbackProxy::requireBasic(const QByteArray &user, const QByteArray &password)
{
    m_credentials = "Proxy-Authorization: Basic " + (user + ':' + password).toBase64() + "\r\n";
}

void LoopbackProxy::read(QTcpSocket *client)
{
    // A forwarded request has the connection to itself from then on.
    QByteArray buffer = client->property("head").toByteArray() + client->readAll();
    for (qsizetype end;
         !client->property("forwarded").toBool() && (end = buffer.indexOf("\r\n\r\n")) != -1;) {
        const QByteArray head = buffer.left(end + 2);
        buffer.remove(0, end + 4);
        ++m_requests;
        if (m_credentials.isEmpty() || (m_credentials != "NTLM" && head.contains(m_credentials))) {
            client->setProperty("forwarded", true);
            forward(client, head);
        } else {
            const QByteArray scheme = m_credentials == "NTLM" ? "NTLM" : "Basic realm=\"x\"";
            client->write("HTTP/1.1 407 Proxy Authentication Required\r\nProxy-Authenticate: "
                          + scheme + "\r\nContent-Length: 0\r\n\r\n");
        }
    }
    client->setProperty("head", buffer);
}

void LoopbackProxy::forward(QTcpSocket *client, const QByteArray &head)
{
    // The request line names the whole URL; the server is asked for its path alone.
    const qsizetype lineEnd = head.indexOf("\r\n");
    const QList<QByteArray> line = head.left(lineEnd).split(' ');
    const QUrl target(QString::fromLatin1(line.value(1)));
    const QByteArray out = line.value(0) + ' '
        + target.toEncoded(QUrl::RemoveScheme | QUrl::RemoveAuthority) + " HTTP/1.1"
        + head.mid(lineEnd) + "Connection: close\r\n\r\n";
    auto *upstream = new QTcpSocket(client);
    connect(upstream, &QTcpSocket::connected, upstream, [upstream, out] { upstream->write(out); });
    connect(upstream, &QTcpSocket::readyRead, client, [=] { client->write(upstream->readAll()); });
    connect(upstream, &QTcpSocket::disconnected, client, &QTcpSocket::disconnectFromHost);
    upstream->connectToHost(QHostAddress::LocalHost, quint16(target.port(80)));
}

#pragma once

#include <QObject>

class QTcpServer;
class QTcpSocket;

// A plain HTTP forward proxy on 127.0.0.1 for tests. It sends every request on to the port
// its URL names on 127.0.0.1, whatever the host name, so a client that leaves name lookups
// to its proxy reaches a loopback server as storage.test without a hosts file. It counts
// what it is asked, and with credentials set answers 407 until they come.
class LoopbackProxy : public QObject
{
    Q_OBJECT

public:
    explicit LoopbackProxy(QObject *parent = nullptr);

    QString url(const QByteArray &userInfo = {}) const;
    quint16 port() const;
    void requireBasic(const QByteArray &user, const QByteArray &password);
    // NTLM that never sends its challenge: every message is answered with another 407.
    void requireNtlm() { m_credentials = "NTLM"; }
    // Requests that arrived, answered with a 407 or not.
    int requests() const { return m_requests; }

private:
    void read(QTcpSocket *client);
    void forward(QTcpSocket *client, const QByteArray &head);

    QTcpServer *m_server;
    QByteArray m_credentials;
    int m_requests = 0;
};

#pragma once

#include <QObject>

// Where a proxy's user and password come from when it answers 407 with Basic or Digest:
// stored ones, or the person's answer to a question. The transfer knows nothing of either;
// it asks, and waits for the answer while the rest of the program goes on.
class ProxyAuthenticator : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Asks for the credentials of `proxy` ("host:port") in `realm`. refused: the ones last
    // given for it were turned away, so they are not given again. Answered by answered(),
    // at once or later.
    virtual void ask(const QString &proxy, const QString &realm, bool refused) = 0;
    // A request got past `proxy` with the credentials last given for it.
    virtual void accepted(const QString &proxy) = 0;

signals:
    // An empty user: none are given, and the request fails with the proxy's 407.
    void answered(const QString &proxy, const QString &user, const QString &password);
};

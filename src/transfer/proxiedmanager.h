#pragma once

#include "transfer/proxychoice.h"

#include <QNetworkAccessManager>
#include <QPointer>

class ProxyAuthenticator;

// A network manager whose requests go where ProxyChoice says, and fail in its words where
// it refuses the proxy: the person reads which proxy, and why, instead of Qt's "No suitable
// proxy found".
class ProxiedManager : public QNetworkAccessManager
{
    Q_OBJECT

public:
    ProxiedManager(const QString &configured, const ProxyChoice::Environment &environment,
                   QObject *parent = nullptr);

    // How often one request is sent before its proxy's authentication counts as endless,
    // and how many 407s in a row one request takes before it fails.
    static constexpr int maximumRounds = 3;

    // Asked for a Basic or Digest proxy's credentials; without one, a 407 fails at once.
    void setAuthenticator(ProxyAuthenticator *authenticator);

protected:
    QNetworkReply *createRequest(Operation operation, const QNetworkRequest &request,
                                 QIODevice *outgoingData) override;

private:
    void stopEndlessAuthentication(QNetworkReply *reply);
    void answerProxy(const QNetworkProxy &proxy, QAuthenticator *authenticator);
    void wordFailure(QNetworkReply *reply);

    // Owned by the manager.
    ProxyChoice *m_choice;
    QPointer<ProxyAuthenticator> m_authenticator;
    // The proxies ("host:port") given credentials since their last answer without a 407.
    QSet<QString> m_answered;
    // 407s in a row by the connection authenticator Qt asks with; forgotten at a success.
    QHash<const QAuthenticator *, int> m_rejections;
};

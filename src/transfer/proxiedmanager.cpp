#include "transfer/proxiedmanager.h"

#include "common/replyproblem.h"
#include "common/tlstrust.h"
#include "common/updatelog.h"

#include <QNetworkReply>
#include <QTimer>

namespace {

// A reply that fails with `reason` from the event loop, as a network error would.
class RefusedReply : public QNetworkReply
{
public:
    RefusedReply(QNetworkAccessManager::Operation operation, const QNetworkRequest &request,
                 const QString &reason, QObject *parent)
        : QNetworkReply(parent)
    {
        setRequest(request);
        setUrl(request.url());
        setOperation(operation);
        open(QIODevice::ReadOnly);
        setError(ProxyNotFoundError, reason);
        QTimer::singleShot(0, this, [this] {
            setFinished(true);
            emit errorOccurred(ProxyNotFoundError);
            emit finished();
        });
    }
    void abort() override { }

protected:
    qint64 readData(char *, qint64) override { return -1; }
};

} // namespace

ProxiedManager::ProxiedManager(const QString &configured,
                               const ProxyChoice::Environment &environment, QObject *parent)
    : QNetworkAccessManager(parent)
    , m_choice(new ProxyChoice(configured, environment))
{
    setProxyFactory(m_choice);
}

void ProxiedManager::stopEndlessAuthentication(QNetworkReply *reply)
{
    // Qt answers an NTLM proxy that never sends its challenge by sending its first message
    // again, without end and without a word (163,139 times in 10 s): each send is counted,
    // and one more after three rounds without an answer ends the request.
    connect(reply, &QNetworkReply::redirected, reply, [reply] { reply->setProperty("sends", 0); });
    connect(reply, &QNetworkReply::requestSent, reply, [this, reply] {
        const int sends = reply->property("sends").toInt() + 1;
        reply->setProperty("sends", sends);
        if (sends <= maximumRounds)
            return;
        // Without a proxy, only Qt's own few resends on a broken connection come here.
        const QNetworkProxy proxy = m_choice->queryProxy(QNetworkProxyQuery(reply->url())).value(0);
        if (proxy.type() != QNetworkProxy::HttpProxy)
            return;
        const QString words = ProxyChoice::authenticationFailure(proxy, "NTLM");
        qCWarning(lcUpdate).noquote() << words << "after" << maximumRounds << "rounds";
        ReplyProblem::set(reply, words);
        reply->abort();
    });
}

QNetworkReply *ProxiedManager::createRequest(Operation operation, const QNetworkRequest &request,
                                             QIODevice *outgoingData)
{
    const QString refusal = m_choice->refusal(request.url());
    if (!refusal.isEmpty())
        return new RefusedReply(operation, request, refusal, this);
    QNetworkReply *reply = QNetworkAccessManager::createRequest(operation, request, outgoingData);
    TlsTrust::watch(reply);
    stopEndlessAuthentication(reply);
    // Qt says only "Proxy requires authentication": the words name the proxy and why. The
    // choice is asked again, as the reply does not say which proxy it went through.
    connect(reply, &QNetworkReply::finished, reply, [this, reply] {
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        if (reply->error() != QNetworkReply::ProxyAuthenticationRequiredError && status != 407)
            return;
        const QNetworkProxy proxy = m_choice->queryProxy(QNetworkProxyQuery(reply->url())).value(0);
        const QString words
            = ProxyChoice::authenticationFailure(proxy, reply->rawHeader("Proxy-Authenticate"));
        qCWarning(lcUpdate).noquote() << words;
        ReplyProblem::set(reply, words);
    });
    return reply;
}

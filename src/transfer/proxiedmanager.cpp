#include "transfer/proxiedmanager.h"

#include "common/replyproblem.h"
#include "common/tlstrust.h"
#include "common/updatelog.h"
#include "transfer/proxyauthenticator.h"

#include <QAuthenticator>
#include <QEventLoop>
#include <QNetworkReply>
#include <QTimer>

namespace {

// How long one request waits at the proxy for the person's answer.
constexpr std::chrono::minutes answerWait { 1 };

QString proxyName(const QNetworkProxy &proxy)
{
    return QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
}

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
    connect(this, &QNetworkAccessManager::proxyAuthenticationRequired, this,
            &ProxiedManager::answerProxy);
}

void ProxiedManager::setAuthenticator(ProxyAuthenticator *authenticator)
{
    m_authenticator = authenticator;
}

void ProxiedManager::answerProxy(const QNetworkProxy &proxy, QAuthenticator *authenticator)
{
    // Qt asks at each 407 of one request, on its connection's authenticator, which holds no
    // user at the first; the third 407 in a row ends the request, in the refusal's words.
    // Counted here: any change to the authenticator would make Qt send the request again.
    const bool refused = !authenticator->user().isEmpty();
    const int rejections = refused ? m_rejections.value(authenticator) + 1 : 1;
    m_rejections.insert(authenticator, rejections);
    // NTLM and Negotiate name no realm, and no person can answer them here.
    if (!m_authenticator || rejections >= maximumRounds || authenticator->realm().isEmpty())
        return;
    const QString name = proxyName(proxy);
    // Qt's network thread waits for the answer: this one goes on meanwhile, so the window,
    // the tray and the schedule carry on while a question is open. Nothing goes out past the
    // proxy. That thread holds every request of this manager, so the wait is bounded: an
    // answer that comes later serves the next request.
    QEventLoop wait;
    QTimer::singleShot(answerWait, &wait, &QEventLoop::quit);
    bool done = false;
    QString user;
    QString password;
    connect(m_authenticator, &ProxyAuthenticator::answered, &wait,
            [&](const QString &answeredProxy, const QString &givenUser, const QString &given) {
                if (answeredProxy != name)
                    return;
                done = true;
                user = givenUser;
                password = given;
                wait.quit();
            });
    connect(m_authenticator, &QObject::destroyed, &wait, &QEventLoop::quit);
    m_authenticator->ask(name, authenticator->realm(), refused);
    if (!done)
        wait.exec();
    if (user.isEmpty())
        return;
    m_answered.insert(name);
    authenticator->setUser(user);
    authenticator->setPassword(password);
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
    connect(reply, &QNetworkReply::finished, reply, [this, reply] { wordFailure(reply); });
    return reply;
}

void ProxiedManager::wordFailure(QNetworkReply *reply)
{
    // Qt says only "Proxy requires authentication": the words name the proxy and why. The
    // choice is asked again, as the reply does not say which proxy it went through.
    QNetworkProxy proxy = m_choice->queryProxy(QNetworkProxyQuery(reply->url())).value(0);
    const QString name = proxyName(proxy);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (reply->error() != QNetworkReply::ProxyAuthenticationRequiredError && status != 407) {
        if (reply->error() == QNetworkReply::NoError) {
            if (m_answered.remove(name) && m_authenticator)
                m_authenticator->accepted(name);
            m_rejections.clear();
        }
        return;
    }
    // Qt would hand the refused credentials it keeps to the next request without a word, and
    // its connection's count would end that one at once: both start afresh.
    m_rejections.clear();
    clearAccessCache();
    // Credentials given by the authenticator were refused as surely as ones in the address.
    if (proxy.user().isEmpty() && m_answered.contains(name))
        proxy.setUser(QStringLiteral("given"));
    const QString words
        = ProxyChoice::authenticationFailure(proxy, reply->rawHeader("Proxy-Authenticate"));
    qCWarning(lcUpdate).noquote() << words;
    ReplyProblem::set(reply, words);
}

#pragma once

#include <QCoreApplication>
#include <QNetworkProxyFactory>
#include <QStringList>

// Which proxy each request goes through. The administrator's or the user's "Proxy" setting
// comes first ("none" for direct); then the desktop's configuration as Qt reads it; where
// that says direct while a proxy variable is set, the variable. Qt reads those variables
// itself on some systems, but drops an https:// proxy there without a word and gives
// no_proxy another meaning than curl's, so both are settled here for every answer.
class ProxyChoice : public QNetworkProxyFactory
{
    Q_DECLARE_TR_FUNCTIONS(ProxyChoice)

public:
    // What the proxy variables say: the first proxy set, and the no_proxy list.
    struct Environment
    {
        QString proxy;
        QString noProxy;
    };
    // A proxy address read: the proxy, or why it cannot be used (then `proxy` is one that
    // no request can go through, so that nothing goes direct instead).
    struct Parsed
    {
        QNetworkProxy proxy;
        QString refusal;
    };

    // The variables of this process: https_proxy, HTTPS_PROXY, http_proxy, HTTP_PROXY,
    // all_proxy, ALL_PROXY, the first one set; no_proxy, else NO_PROXY.
    static Environment environment();
    // Whether `host` goes direct by a no_proxy list, as curl reads it: a name covers itself
    // and its subdomains, with or without a leading "." or "*."; an address or a CIDR block
    // covers addresses; "*" covers every host.
    static bool bypasses(const QString &noProxy, const QString &host);
    // A proxy address: http:// (also without a scheme) or socks5://, with an optional user
    // and password. Anything else, https:// included, is refused.
    static Parsed parse(const QString &address);

    // Why `proxy` turned a request away with a 407 whose Proxy-Authenticate header was
    // `challenge`: Kerberos without a ticket, no credentials, or the credentials refused.
    static QString authenticationFailure(const QNetworkProxy &proxy, const QByteArray &challenge);

    // configured: the "Proxy" setting, empty where none is set. useSystem: false leaves
    // the desktop's configuration out, as tests do.
    ProxyChoice(const QString &configured, const Environment &environment, bool useSystem = true);

    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery &query) override;
    // Why a request to `url` cannot go out; empty when it can.
    QString refusal(const QUrl &url);

private:
    Parsed choose(const QNetworkProxyQuery &query);

    const QString m_configured;
    const Environment m_environment;
    const bool m_useSystem;
};

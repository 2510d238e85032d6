#include "transfer/proxychoice.h"

#include "common/updatelog.h"

#include <QHostAddress>
#include <QUrl>

namespace {

const char *const proxyVariables[]
    = { "https_proxy", "HTTPS_PROXY", "http_proxy", "HTTP_PROXY", "all_proxy", "ALL_PROXY" };

// A proxy no request can go through: Qt fails the request with "No suitable proxy found"
// rather than send it direct.
QNetworkProxy unusable()
{
    return QNetworkProxy(QNetworkProxy::FtpCachingProxy);
}

bool coversAddress(const QString &entry, const QHostAddress &address)
{
    if (address.isNull())
        return false;
    const auto block = QHostAddress::parseSubnet(entry);
    if (!block.first.isNull())
        return address.isInSubnet(block);
    return QHostAddress(entry).isEqual(address, QHostAddress::ConvertV4MappedToIPv4);
}

bool coversName(QString entry, const QString &host)
{
    if (entry.startsWith(QLatin1String("*.")))
        entry.remove(0, 1);
    if (entry.startsWith(u'.'))
        entry.remove(0, 1);
    if (entry.endsWith(u'.'))
        entry.chop(1);
    return !entry.isEmpty()
        && (host == entry || host.endsWith(QLatin1Char('.') + entry, Qt::CaseInsensitive));
}

} // namespace

ProxyChoice::Environment ProxyChoice::environment()
{
    Environment found;
    for (const char *name : proxyVariables) {
        found.proxy = qEnvironmentVariable(name).trimmed();
        if (!found.proxy.isEmpty())
            break;
    }
    found.noProxy = qEnvironmentVariable("no_proxy");
    if (found.noProxy.isEmpty())
        found.noProxy = qEnvironmentVariable("NO_PROXY");
    return found;
}

bool ProxyChoice::bypasses(const QString &noProxy, const QString &host)
{
    QString name = host.toLower();
    if (name.endsWith(u'.'))
        name.chop(1);
    // [::1] as a URL holds it.
    const QHostAddress address(name.startsWith(u'[') ? name.mid(1, name.size() - 2) : name);
    for (QString entry : noProxy.split(u',', Qt::SkipEmptyParts)) {
        entry = entry.trimmed().toLower();
        if (entry == QLatin1String("*"))
            return true;
        if (entry.startsWith(u'[') && entry.contains(u']'))
            entry = entry.mid(1, entry.indexOf(u']') - 1);
        else if (entry.count(u':') == 1)
            entry = entry.section(u':', 0, 0); // a port: curl ignores it too
        const bool covered
            = address.isNull() ? coversName(entry, name) : coversAddress(entry, address);
        if (covered)
            return true;
    }
    return false;
}

ProxyChoice::Parsed ProxyChoice::parse(const QString &address)
{
    const QString text = address.trimmed();
    const QUrl url(text.contains(QLatin1String("://")) ? text : QLatin1String("http://") + text);
    const QString scheme = url.scheme().toLower();
    QNetworkProxy::ProxyType type = QNetworkProxy::DefaultProxy;
    if (scheme == QLatin1String("http"))
        type = QNetworkProxy::HttpProxy;
    else if (scheme == QLatin1String("socks5") || scheme == QLatin1String("socks5h"))
        type = QNetworkProxy::Socks5Proxy;
    if (!url.isValid() || url.host().isEmpty() || type == QNetworkProxy::DefaultProxy) {
        // Qt reaches proxies over plain connections only: an HTTPS proxy is refused, never
        // passed by.
        return { unusable(),
                 tr("The proxy %1 cannot be used: Tarrowin talks to proxies over "
                    "http://")
                     .arg(url.toString(QUrl::RemoveUserInfo)) };
    }
    // curl's default port for a proxy.
    QNetworkProxy proxy(type, url.host(), quint16(url.port(1080)), url.userName(QUrl::FullyDecoded),
                        url.password(QUrl::FullyDecoded));
    return { proxy, QString() };
}

QString ProxyChoice::authenticationFailure(const QNetworkProxy &proxy, const QByteArray &challenge)
{
    const QString name = QStringLiteral("%1:%2").arg(proxy.hostName()).arg(proxy.port());
    const QByteArray scheme = challenge.trimmed().split(' ').value(0);
    if (scheme.compare("Negotiate", Qt::CaseInsensitive) == 0)
        return tr("The proxy %1 wants Kerberos: run kinit, then Check again").arg(name);
    const QString shown = scheme.isEmpty() ? QStringLiteral("Basic") : QString::fromLatin1(scheme);
    if (proxy.user().isEmpty())
        return tr("The proxy %1 asks for a user and password (%2)").arg(name, shown);
    return tr("The proxy %1 refused the credentials (%2)").arg(name, shown);
}

ProxyChoice::ProxyChoice(const QString &configured, const Environment &environment, bool useSystem)
    : m_configured(configured.trimmed())
    , m_environment(environment)
    , m_useSystem(useSystem)
{
}

ProxyChoice::Parsed ProxyChoice::choose(const QNetworkProxyQuery &query)
{
    const QNetworkProxy direct(QNetworkProxy::NoProxy);
    if (bypasses(m_environment.noProxy, query.peerHostName()))
        return { direct, QString() };
    if (m_configured.compare(QLatin1String("none"), Qt::CaseInsensitive) == 0)
        return { direct, QString() };
    if (!m_configured.isEmpty())
        return parse(m_configured);
    if (m_useSystem) {
        const QList<QNetworkProxy> system = systemProxyForQuery(query);
        if (!system.isEmpty() && system.first().type() != QNetworkProxy::NoProxy)
            return { system.first(), QString() };
    }
    if (!m_environment.proxy.isEmpty())
        return parse(m_environment.proxy);
    return { direct, QString() };
}

QList<QNetworkProxy> ProxyChoice::queryProxy(const QNetworkProxyQuery &query)
{
    const Parsed chosen = choose(query);
    if (!chosen.refusal.isEmpty())
        qCWarning(lcUpdate).noquote() << chosen.refusal;
    return { chosen.proxy };
}

QString ProxyChoice::refusal(const QUrl &url)
{
    return choose(QNetworkProxyQuery(url)).refusal;
}

#include "common/replyproblem.h"
#include "common/tlstrust.h"
#include "support/loopbackproxy.h"
#include "support/loopbackserver.h"
#include "support/testenvironment.h"
#include "transfer/proxiedmanager.h"

#include <QSslConfiguration>

namespace {
const QString refused = QStringLiteral(
    "The proxy https://proxy.example:3129 cannot be used: Tarrowin talks to proxies over http://");
const QString untrusted = QStringLiteral(
    "The build storage's certificate (issued by %1) is not trusted on this computer");

// The body, or the words the request failed with.
QString outcome(const QUrl &url)
{
    ProxiedManager manager(QString(), ProxyChoice::environment());
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
    if (!QTest::qWaitFor([&reply] { return reply->isFinished(); }, 10000))
        return QStringLiteral("no answer");
    const QString words = ReplyProblem::get(reply.get());
    return reply->error() == QNetworkReply::NoError ? QString::fromLatin1(reply->readAll())
        : words.isEmpty()                           ? reply->errorString()
                                                    : words;
}
} // namespace

// Which proxy a request goes through, and what it trusts: requests through a loopback proxy
// to a storage known only by a name the proxy resolves, and to one with a CA's certificate.
class TestProxiedManager : public QObject
{
    Q_OBJECT

public:
    explicit TestProxiedManager(TestEnvironment &) { }

private slots:
    void cleanup()
    {
        for (const char *name : { "https_proxy", "HTTPS_PROXY", "HTTP_PROXY", "SSL_CERT_FILE" })
            qunsetenv(name);
    }
    void choice_data();
    void choice();
    void throughTheProxy_data();
    void throughTheProxy();
    void organisationsAuthority_data();
    void organisationsAuthority();
};

void TestProxiedManager::choice_data()
{
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("noProxy");
    QTest::addColumn<QString>("host");
    QTest::addColumn<QString>("chosen");
    const auto row = [](const char *name, const char *configured, const char *noProxy,
                        const char *host, const QString &chosen) {
        QTest::newRow(name) << QString::fromLatin1(configured) << QString::fromLatin1(noProxy)
                            << QString::fromLatin1(host) << chosen;
    };
    const QString proxy = QStringLiteral("proxy.example:1080");
    row("no_proxy name: itself", "", "corp.example", "corp.example", "direct");
    row("name: its subdomains", "", "corp.example", "a.b.corp.example", "direct");
    row(".name: the name too", "", ".corp.example", "corp.example", "direct");
    row("*.name: subdomains", "", "*.corp.example", "host.corp.example", "direct");
    row("not a name ending alike", "", "corp.example", "notcorp.example", proxy);
    row("case, dot, list, port", "", " x.example, Corp.Example.:80", "A.corp.example.", "direct");
    row("CIDR", "", "10.0.0.0/8", "10.1.2.3", "direct");
    row("outside the block", "", "10.0.0.0/8", "11.0.0.1", proxy);
    row("IPv6 CIDR", "", "fd00::/8", "[fd12::1]", "direct");
    row("a name covers no address", "", "corp.example", "10.0.0.1", proxy);
    row("*, over the setting", "http://a.example:8080", "*", "storage.test", "direct");
    row("the setting over the variable", "a.example:8080", "", "storage.test", "a.example:8080");
    row("the setting says none", "none", "", "storage.test", "direct");
    row("https:// refused, never direct", "https://u:pw@proxy.example:3129", "", "x", refused);
}

void TestProxiedManager::choice()
{
    QFETCH(QString, configured);
    QFETCH(QString, noProxy);
    QFETCH(QString, host);
    QFETCH(QString, chosen);
    // The variable as written, without a scheme: http, and curl's port.
    ProxyChoice choice(configured, { QStringLiteral("proxy.example"), noProxy }, false);
    const QUrl url(QStringLiteral("https://%1/LAST_CHANGE").arg(host));
    const QNetworkProxy proxy = choice.queryProxy(QNetworkProxyQuery(url)).value(0);
    const QString refusal = choice.refusal(url);
    QCOMPARE(proxy.type() == QNetworkProxy::NoProxy ? QStringLiteral("direct")
                 : refusal.isEmpty() ? proxy.hostName() + u':' + QString::number(proxy.port())
                                     : refusal,
             chosen);
    // Refused, the request can go neither direct nor through a proxy.
    QCOMPARE(proxy.type() == QNetworkProxy::FtpCachingProxy, !refusal.isEmpty());
}

void TestProxiedManager::throughTheProxy_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QByteArray>("address");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("atTheProxy");
    const auto row
        = [](const char *variable, const char *address, const QString &answer, int atTheProxy) {
              QTest::newRow(variable + QByteArray(" ") + address)
                  << QByteArray(variable) << QByteArray(address) << answer << atTheProxy;
          };
    row("HTTPS_PROXY", "", "123456", 1);
    row("https_proxy", "", "123456", 1);
    row("HTTP_PROXY", "user:secret", "123456", 2);
    row("HTTPS_PROXY", "user:wrong", "The proxy 127.0.0.1:%1 refused the credentials (Basic)", 2);
    row("https_proxy", "https://proxy.example:3129", refused, 0);
}

void TestProxiedManager::throughTheProxy()
{
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, address);
    QFETCH(QString, answer);
    QFETCH(int, atTheProxy);
    LoopbackServer storage;
    storage.serve(QStringLiteral("/LAST_CHANGE"), "123456");
    LoopbackProxy proxy;
    if (!address.isEmpty())
        proxy.requireBasic("user", "secret");
    qputenv(variable.constData(), address.contains('.') ? address : proxy.url(address).toLatin1());
    const QUrl url(QStringLiteral("http://storage.test:%1/LAST_CHANGE").arg(storage.port()));
    QCOMPARE(outcome(url), answer.contains(u'%') ? answer.arg(proxy.port()) : answer);
    QCOMPARE(proxy.requests(), atTheProxy);
}

void TestProxiedManager::organisationsAuthority_data()
{
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QString>("configured");
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("answer");
    const QString folder = QStringLiteral(TARROWIN_TEST_SUPPORT_DIR "/tls");
    QTest::newRow("untrusted") << QByteArray() << ""
                               << "castorage" << untrusted.arg("Tarrowin Test CA");
    QTest::newRow("SSL_CERT_FILE") << QByteArray("SSL_CERT_FILE") << ""
                                   << "castorage"
                                   << "123456";
    QTest::newRow("CaCertificates") << QByteArray() << folder << "castorage"
                                    << "123456";
    QTest::newRow("a certificate the CA did not issue") << QByteArray("SSL_CERT_FILE") << ""
                                                        << "loopback" << untrusted.arg("127.0.0.1");
}

void TestProxiedManager::organisationsAuthority()
{
    QFETCH(QByteArray, variable);
    QFETCH(QString, configured);
    QFETCH(QString, certificate);
    QFETCH(QString, answer);
    const QSslConfiguration before = QSslConfiguration::defaultConfiguration();
    if (!variable.isEmpty())
        qputenv(variable.constData(), TARROWIN_TEST_SUPPORT_DIR "/tls/testca.crt");
    TlsTrust::trustExtraCertificates(configured);
    const auto storage = LoopbackServer::tls(certificate);
    storage->serve(QStringLiteral("/LAST_CHANGE"), "123456");
    const QString found = outcome(storage->url(QStringLiteral("/LAST_CHANGE")));
    QSslConfiguration::setDefaultConfiguration(before);
    QCOMPARE(found, answer);
}

TARROWIN_TEST_MAIN(TestProxiedManager, false)
#include "tst_proxiedmanager.moc"

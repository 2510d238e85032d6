#include "common/replyproblem.h"
#include "common/tlstrust.h"
#include "support/loopbackproxy.h"
#include "support/loopbackserver.h"
#include "support/privatekeyring.h"
#include "support/testenvironment.h"
#include "transfer/proxiedmanager.h"
#include "tray/proxyprompt.h"

#include <QSignalSpy>
#include <QSslConfiguration>
#include <QTimer>

namespace {
const QString refused = QStringLiteral(
    "The proxy https://proxy.example:3129 cannot be used: Tarrowin talks to proxies over http://");
const QString untrusted = QStringLiteral(
    "The build storage's certificate (issued by %1) is not trusted on this computer");
} // namespace

// Which proxy a request goes through and what it trusts: requests through a loopback proxy to
// a storage known only by a name the proxy resolves, and to one with a test CA's certificate.
class TestProxiedManager : public QObject
{
    Q_OBJECT

public:
    explicit TestProxiedManager(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void choice_data();
    void choice();
    void request_data();
    void request();
    void question_data();
    void question();

private:
    // What a request through `proxy` answers: the storage's text, or the words of its failure.
    static QString fetch(const QString &proxy, ProxyAuthenticator *authenticator, const QUrl &url);

    TestEnvironment &m_environment;
    std::unique_ptr<PrivateKeyring> m_keyring;
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
    row("name: subdomains, in a list", "", "x.example, Corp.Example", "a.corp.example", "direct");
    row(".name: the name too", "", ".corp.example", "corp.example", "direct");
    row("*.name: subdomains", "", "*.corp.example", "host.corp.example", "direct");
    row("not a name ending alike", "", "corp.example", "notcorp.example", proxy);
    row("CIDR", "", "10.0.0.0/8", "10.1.2.3", "direct");
    row("outside the block", "", "10.0.0.0/8", "11.0.0.1", proxy);
    row("*, over the setting", "http://a.example:8080", "*", "storage.test", "direct");
    row("the setting over the variable", "a.example:8080", "", "storage.test", "a.example:8080");
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

void TestProxiedManager::request_data()
{
    // A proxy variable (with the credentials for the loopback proxy, or another address), or
    // a variable naming the test CA; "CaCertificates"; the storage's certificate (none: HTTP).
    QTest::addColumn<QByteArray>("variable");
    QTest::addColumn<QByteArray>("value");
    QTest::addColumn<QString>("caSetting");
    QTest::addColumn<QString>("certificate");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("atTheProxy");
    const auto row
        = [](const char *name, const char *variable, const char *value, const QString &caSetting,
             const char *certificate, const QString &answer, int atTheProxy) {
              QTest::newRow(name) << QByteArray(variable) << QByteArray(value) << caSetting
                                  << QString::fromLatin1(certificate) << answer << atTheProxy;
          };
    const QString ok = QStringLiteral("123456");
    row("HTTPS_PROXY", "HTTPS_PROXY", "", "", "", ok, 1);
    row("https_proxy", "https_proxy", "", "", "", ok, 1);
    row("Basic", "HTTP_PROXY", "user:secret", "", "", ok, 2);
    row("Basic, wrong credentials", "HTTPS_PROXY", "user:wrong", "", "",
        "The proxy 127.0.0.1:%1 refused the credentials (Basic)", 2);
    row("NTLM without a challenge", "HTTPS_PROXY", "ntlm:secret", "", "",
        "The proxy 127.0.0.1:%1 refused the credentials (NTLM)", 4);
    row("an https:// proxy", "https_proxy", "https://proxy.example:3129", "", "", refused, 0);
    const QString ca = QStringLiteral(TARROWIN_TEST_SUPPORT_DIR "/tls/testca.crt");
    row("a CA nobody trusts", "", "", "", "castorage", untrusted.arg("Tarrowin Test CA"), 0);
    row("SSL_CERT_FILE", "SSL_CERT_FILE", TARROWIN_TEST_SUPPORT_DIR "/tls/testca.crt", "",
        "castorage", ok, 0);
    row("CaCertificates, a folder", "", "", ca.section(u'/', 0, -2), "castorage", ok, 0);
    row("a certificate the CA did not issue", "", "", ca, "loopback", untrusted.arg("127.0.0.1"),
        0);
}

void TestProxiedManager::request()
{
    QFETCH(QByteArray, variable);
    QFETCH(QByteArray, value);
    QFETCH(QString, caSetting);
    QFETCH(QString, certificate);
    QFETCH(QString, answer);
    QFETCH(int, atTheProxy);
    const auto storage = certificate.isEmpty() ? std::make_unique<LoopbackServer>()
                                               : LoopbackServer::tls(certificate);
    storage->serve(QStringLiteral("/LAST_CHANGE"), "123456");
    LoopbackProxy proxy;
    if (value.startsWith("ntlm"))
        proxy.requireNtlm();
    else if (!value.isEmpty())
        proxy.requireBasic("user", "secret");
    if (!variable.isEmpty())
        qputenv(variable.constData(), value.contains('/') ? value : proxy.url(value).toLatin1());
    const QSslConfiguration before = QSslConfiguration::defaultConfiguration();
    // The system's certificates stay trusted beside a CA of one's own.
    const qsizetype extra = TlsTrust::trustExtraCertificates(caSetting);
    // Read once: parsing the system store is slow, and under a sanitizer very slow.
    static const qsizetype system = QSslConfiguration::systemCaCertificates().size();
    QVERIFY(extra == 0
            || QSslConfiguration::defaultConfiguration().caCertificates().size() >= system + extra);
    QUrl url = storage->url(QStringLiteral("/LAST_CHANGE"));
    if (certificate.isEmpty())
        url.setHost(QStringLiteral("storage.test"));

    ProxiedManager manager(QString(), ProxyChoice::environment());
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
    QTRY_VERIFY_WITH_TIMEOUT(reply->isFinished(), 10000);
    if (!variable.isEmpty())
        qunsetenv(variable.constData());
    QSslConfiguration::setDefaultConfiguration(before);
    const QString words = ReplyProblem::get(reply.get());
    QCOMPARE(reply->error() == QNetworkReply::NoError ? QString::fromLatin1(reply->readAll())
                 : words.isEmpty()                    ? reply->errorString()
                                                      : words,
             answer.contains(u'%') ? answer.arg(proxy.port()) : answer);
    QCOMPARE(proxy.requests(), atTheProxy);
}

QString TestProxiedManager::fetch(const QString &proxy, ProxyAuthenticator *authenticator,
                                  const QUrl &url)
{
    ProxiedManager manager(proxy, {});
    manager.setAuthenticator(authenticator);
    std::unique_ptr<QNetworkReply> reply(manager.get(QNetworkRequest(url)));
    QSignalSpy finished(reply.get(), &QNetworkReply::finished);
    if (!reply->isFinished() && !finished.wait(10000))
        return QStringLiteral("no answer");
    return reply->error() == QNetworkReply::NoError ? QString::fromLatin1(reply->readAll())
                                                    : ReplyProblem::get(reply.get());
}

void TestProxiedManager::question_data()
{
    // The password the person gives at each question, in turn.
    QTest::addColumn<QStringList>("passwords");
    QTest::addColumn<QString>("answer");
    QTest::addColumn<int>("atTheProxy");
    QTest::newRow("asked once, remembered")
        << QStringList { QStringLiteral("secret") } << QStringLiteral("123456") << 2;
    QTest::newRow("wrong: asked again once, refused at the third 407")
        << QStringList { QStringLiteral("wrong"), QStringLiteral("worse") }
        << QStringLiteral("The proxy 127.0.0.1:%1 refused the credentials (Basic)") << 3;
}

void TestProxiedManager::question()
{
    QFETCH(QStringList, passwords);
    QFETCH(QString, answer);
    QFETCH(int, atTheProxy);
    // One Secret Service for the whole run: libsecret keeps its first session bus.
    if (!m_keyring)
        m_keyring = std::make_unique<PrivateKeyring>(m_environment.root());
    QTRY_VERIFY_WITH_TIMEOUT(m_keyring->ready(), 10000);
    LoopbackServer storage;
    storage.serve(QStringLiteral("/LAST_CHANGE"), "123456");
    QUrl url = storage.url(QStringLiteral("/LAST_CHANGE"));
    url.setHost(QStringLiteral("storage.test"));
    LoopbackProxy proxy;
    proxy.requireBasic("user", "secret");
    ProxyPrompt prompt;
    int questions = 0;
    connect(&prompt, &ProxyPrompt::changed, this, [&] {
        if (prompt.waiting())
            QTimer::singleShot(0, &prompt, [&prompt, password = passwords.value(questions++)] {
                prompt.answer(QStringLiteral("user"), password, true);
            });
    });
    const QString expected = answer.contains(u'%') ? answer.arg(proxy.port()) : answer;
    QCOMPARE(fetch(proxy.url(), &prompt, url), expected);
    QCOMPARE(questions, passwords.size());
    QCOMPARE(proxy.requests(), atTheProxy);
    QFile settings(m_environment.settingsFile());
    QVERIFY(!settings.open(QIODevice::ReadOnly) || !settings.readAll().contains("secret"));
    if (answer != QLatin1String("123456"))
        return;
    // Another session finds them in the keychain, and asks nothing.
    ProxyPrompt later;
    connect(&later, &ProxyPrompt::changed, this, [&] {
        if (later.waiting()) {
            ++questions;
            later.decline();
        }
    });
    QCOMPARE(fetch(proxy.url(), &later, url), answer);
    QCOMPARE(questions, passwords.size());
}

TARROWIN_TEST_MAIN(TestProxiedManager, false)
#include "tst_proxiedmanager.moc"

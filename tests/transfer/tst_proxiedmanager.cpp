#include "common/replyproblem.h"
#include "common/tlstrust.h"
#include "support/loopbackproxy.h"
#include "support/loopbackserver.h"
#include "support/privatebus.h"
#include "support/testenvironment.h"
#include "transfer/proxiedmanager.h"
#include "tray/proxyprompt.h"

#include <QDBusInterface>
#include <QDBusObjectPath>
#include <QDBusReply>
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
    ~TestProxiedManager() override
    {
        m_keyring.kill();
        m_keyring.waitForFinished();
    }

private slots:
    void choice_data();
    void choice();
    void request_data();
    void request();

private:
    TestEnvironment &m_environment;
    std::unique_ptr<PrivateBus> m_bus;
    QProcess m_keyring;
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
    // A value of "?" and passwords: none in the address, and the person gives those in turn.
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
    row("Basic, asked once, remembered", "HTTP_PROXY", "?secret", "", "", ok, 2);
    row("Basic, asked again once, refused at the third 407", "HTTP_PROXY", "?wrong,worse", "", "",
        "The proxy 127.0.0.1:%1 refused the credentials (Basic)", 3);
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
    const QStringList passwords
        = value.startsWith('?') ? QString::fromLatin1(value.mid(1)).split(u',') : QStringList();
    if (value.startsWith("ntlm"))
        proxy.requireNtlm();
    else if (!value.isEmpty())
        proxy.requireBasic("user", "secret");
    if (!variable.isEmpty())
        qputenv(variable.constData(),
                value.contains('/') ? value
                                    : proxy.url(passwords.isEmpty() ? value : "").toLatin1());
    // Debian's gnome-keyring-daemon as the Secret Service, on a bus of the run's own (libsecret
    // keeps the first it finds); a password on its input makes its login collection, unlocked.
    if (!passwords.isEmpty() && !m_bus) {
        m_bus = std::make_unique<PrivateBus>(m_environment.root());
        qputenv("DBUS_SESSION_BUS_ADDRESS", m_bus->address().toUtf8());
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("XDG_RUNTIME_DIR"), m_environment.root());
        m_keyring.setProcessEnvironment(environment);
        m_keyring.start(QStringLiteral("gnome-keyring-daemon"),
                        { QStringLiteral("--foreground"), QStringLiteral("--unlock"),
                          QStringLiteral("--components=secrets") });
        m_keyring.write("test");
        m_keyring.closeWriteChannel();
    }
    const auto collection = [] {
        QDBusInterface secrets(QStringLiteral("org.freedesktop.secrets"),
                               QStringLiteral("/org/freedesktop/secrets"),
                               QStringLiteral("org.freedesktop.Secret.Service"));
        return QDBusReply<QDBusObjectPath>(secrets.call("ReadAlias", "default")).value().path();
    };
    QTRY_VERIFY_WITH_TIMEOUT(passwords.isEmpty() || collection().size() > 1, 10000);
    int questions = 0;
    const auto answering = [&](ProxyPrompt *prompt) {
        connect(prompt, &ProxyPrompt::changed, this, [&, prompt] {
            if (prompt->waiting())
                QTimer::singleShot(0, prompt, [prompt, password = passwords.value(questions++)] {
                    prompt->answer(QStringLiteral("user"), password, true);
                });
        });
    };
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
    ProxyPrompt prompt;
    answering(&prompt);
    QSignalSpy remembered(&prompt, &ProxyPrompt::remembered);
    if (!passwords.isEmpty())
        manager.setAuthenticator(&prompt);
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
    QCOMPARE(questions, passwords.size());
    QFile settings(m_environment.settingsFile());
    QVERIFY(!settings.open(QIODevice::ReadOnly) || !settings.readAll().contains("secret"));
    if (passwords.isEmpty() || reply->error() != QNetworkReply::NoError)
        return;
    QTRY_COMPARE(remembered.value(0).value(0), QVariant(true));
    // Another session finds them in the Secret Service, and asks nothing.
    ProxyPrompt later;
    answering(&later);
    ProxiedManager again(QString(), { proxy.url(), {} });
    again.setAuthenticator(&later);
    std::unique_ptr<QNetworkReply> stored(again.get(QNetworkRequest(url)));
    QTRY_VERIFY_WITH_TIMEOUT(stored->isFinished(), 10000);
    QCOMPARE(stored->readAll(), QByteArray("123456"));
    QCOMPARE(questions, passwords.size());
}

TARROWIN_TEST_MAIN(TestProxiedManager, false)
#include "tst_proxiedmanager.moc"

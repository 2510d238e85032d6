#include "builds/versionchecker.h"
#include "common/endpoints.h"
#include "settings/config.h"
#include "support/loopbackserver.h"
#include "support/testenvironment.h"

#include <QSignalSpy>
#include <QTcpServer>

namespace {
const QString lastChange = QStringLiteral("/chromium-browser-snapshots/Win_x64/LAST_CHANGE");
}

class TestVersionChecker : public QObject
{
    Q_OBJECT

public:
    explicit TestVersionChecker(TestEnvironment &) { }

private slots:
    void init();

    void constructionStartsACheck();
    void body_data();
    void body();
    void sameBodyNotifiesAgain();
    void redirectIsNotFollowed();
    void askedOfTheMirrorPastCaches_data();
    void askedOfTheMirrorPastCaches();
    void refusedConnection();
    void stalledServerTimesOut();
    void oversizedBodyIsAbandoned();
    void callWhileCheckingStartsNoSecondRequest();
    void signalParameterNames();

private:
    // Waits for the check the constructor started.
    static bool waitForCheck(VersionChecker &checker, QSignalSpy &spy);

    std::unique_ptr<LoopbackServer> m_server;
};

void TestVersionChecker::init()
{
    m_server = std::make_unique<LoopbackServer>();
    Endpoints::setBuildStorage(m_server->url());
    Config::remove(Config::BuildStorage);
}

bool TestVersionChecker::waitForCheck(VersionChecker &checker, QSignalSpy &spy)
{
    if (spy.isEmpty() && !spy.wait(10000))
        return false;
    return !checker.checking();
}

void TestVersionChecker::constructionStartsACheck()
{
    m_server->serve(lastChange, "123456");
    VersionChecker checker;
    // Under way from construction, before the first binding is evaluated.
    QVERIFY(checker.checking());
    QCOMPARE(checker.latestBuild(), -1);

    QSignalSpy checking(&checker, &VersionChecker::checkingChanged);
    QSignalSpy latest(&checker, &VersionChecker::latestBuildChanged);
    QVERIFY(waitForCheck(checker, latest));
    QCOMPARE(m_server->requests(), QStringList { lastChange });
    QCOMPARE(checking.size(), 1);
    QCOMPARE(checking.first().first().toBool(), false);
}

void TestVersionChecker::body_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<bool>("chunked");
    QTest::addColumn<int>("build");

    QTest::newRow("six digits") << 200 << QByteArray("123456") << false << 123456;
    QTest::newRow("chunked digits") << 200 << QByteArray("654321") << true << 654321;
    QTest::newRow("digits and a line break") << 200 << QByteArray("123456\n") << false << -1;
    QTest::newRow("zero") << 200 << QByteArray("0") << false << -1;
    QTest::newRow("negative") << 200 << QByteArray("-5") << false << -5;
    QTest::newRow("beyond 32 bits") << 200 << QByteArray("4294967296") << false << -1;
    QTest::newRow("empty") << 200 << QByteArray() << false << -1;
    QTest::newRow("text") << 200 << QByteArray("<html>busy</html>") << false << -1;
    // An error page is not the answer, even when it happens to be a number.
    QTest::newRow("404 with a number") << 404 << QByteArray("123456") << false << -1;
    QTest::newRow("500 with a number") << 500 << QByteArray("123456") << false << -1;
}

void TestVersionChecker::body()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(bool, chunked);
    QFETCH(int, build);

    LoopbackServer::Response response;
    response.status = status;
    response.body = body;
    response.chunked = chunked;
    m_server->setResponse(lastChange, response);

    VersionChecker checker;
    QSignalSpy latest(&checker, &VersionChecker::latestBuildChanged);
    QVERIFY(waitForCheck(checker, latest));
    QCOMPARE(latest.size(), 1);
    QCOMPARE(latest.first().first().toInt(), build);
    QCOMPARE(checker.latestBuild(), build);
}

void TestVersionChecker::sameBodyNotifiesAgain()
{
    m_server->serve(lastChange, "123456");
    VersionChecker checker;
    QSignalSpy latest(&checker, &VersionChecker::latestBuildChanged);
    QVERIFY(waitForCheck(checker, latest));

    checker.checkLatestBuild();
    QVERIFY(checker.checking());
    QTRY_COMPARE(latest.size(), 2);
    QCOMPARE(latest.at(1).first().toInt(), 123456);
    QVERIFY(!checker.checking());
    QCOMPARE(m_server->requestCount(lastChange), 2);
    // Finished replies are released, not kept until the checker goes.
    QTRY_VERIFY(checker.findChildren<QNetworkReply *>().isEmpty());
}

void TestVersionChecker::redirectIsNotFollowed()
{
    m_server->redirect(lastChange, "/elsewhere");
    m_server->serve(QStringLiteral("/elsewhere"), "123456");
    VersionChecker checker;
    QSignalSpy latest(&checker, &VersionChecker::latestBuildChanged);
    QVERIFY(waitForCheck(checker, latest));
    QCOMPARE(checker.latestBuild(), -1);
    QCOMPARE(m_server->requestCount(QStringLiteral("/elsewhere")), 0);
}

void TestVersionChecker::askedOfTheMirrorPastCaches_data()
{
    QTest::addColumn<QString>("scheme");
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<bool>("mirrorUsed");
    QTest::newRow("https mirror") << "https" << QString() << true;
    QTest::newRow("https mirror below a path") << "https"
                                               << "/org/cache/" << true;
    // In the clear, anyone on the way could name a build and hand over its program.
    QTest::newRow("plain http is ignored") << "http" << QString() << false;
    QTest::newRow("not an address") << "storage" << QString() << false;
}

void TestVersionChecker::askedOfTheMirrorPastCaches()
{
    QFETCH(QString, scheme);
    QFETCH(QString, prefix);
    QFETCH(bool, mirrorUsed);
    LoopbackServer::trustTestCertificate();
    const auto mirror = LoopbackServer::tls();
    mirror->serve(prefix.isEmpty() ? lastChange : prefix.chopped(1) + lastChange, "222222");
    m_server->serve(lastChange, "111111");
    QUrl address = mirror->url(prefix);
    address.setScheme(scheme);
    Config::set(Config::BuildStorage, address.toString());

    VersionChecker checker;
    QSignalSpy latest(&checker, &VersionChecker::latestBuildChanged);
    QVERIFY(waitForCheck(checker, latest));
    QCOMPARE(checker.latestBuild(), mirrorUsed ? 222222 : 111111);
    const LoopbackServer &asked = mirrorUsed ? *mirror : *m_server;
    QVERIFY(asked.lastRequestHead().contains("\r\nCache-Control: no-cache"));
}

void TestVersionChecker::refusedConnection()
{
    QTcpServer closed;
    QVERIFY(closed.listen(QHostAddress::LocalHost));
    const quint16 port = closed.serverPort();
    closed.close();
    Endpoints::setBuildStorage(QUrl(QStringLiteral("http://127.0.0.1:%1").arg(port)));

    VersionChecker checker;
    QSignalSpy latest(&checker, &VersionChecker::latestBuildChanged);
    QVERIFY(waitForCheck(checker, latest));
    QCOMPARE(latest.first().first().toInt(), -1);
    QVERIFY(!checker.checking());
}

void TestVersionChecker::stalledServerTimesOut()
{
    LoopbackServer::Response response;
    response.body = "123456";
    response.stallAfter = 3; // "123" arrives, then nothing
    m_server->setResponse(lastChange, response);

    VersionChecker checker(300);
    QSignalSpy latest(&checker, &VersionChecker::latestBuildChanged);
    QVERIFY(waitForCheck(checker, latest));
    QCOMPARE(latest.first().first().toInt(), -1);
    QCOMPARE(checker.failureStatus(), 0);
    QCOMPARE(checker.failureReason(), QStringLiteral("it stopped answering"));
}

void TestVersionChecker::oversizedBodyIsAbandoned()
{
    LoopbackServer::Response response;
    response.body = "1234567890";
    response.endless = true;
    m_server->setResponse(lastChange, response);

    VersionChecker checker;
    QSignalSpy latest(&checker, &VersionChecker::latestBuildChanged);
    QVERIFY(waitForCheck(checker, latest));
    QCOMPARE(checker.latestBuild(), -1);
}

void TestVersionChecker::callWhileCheckingStartsNoSecondRequest()
{
    LoopbackServer::Response response;
    response.body = "123456";
    response.trickleIntervalMs = 30;
    m_server->setResponse(lastChange, response);

    VersionChecker checker;
    QSignalSpy latest(&checker, &VersionChecker::latestBuildChanged);
    QSignalSpy requested(m_server.get(), &LoopbackServer::requested);
    QVERIFY(requested.wait(10000));
    checker.checkLatestBuild();
    checker.checkLatestBuild();
    QVERIFY(checker.checking());

    QVERIFY(waitForCheck(checker, latest));
    QCOMPARE(latest.size(), 1);
    QCOMPARE(latest.first().first().toInt(), 123456);
    QCOMPARE(m_server->requestCount(lastChange), 1);

    // Once it has reported, the next call asks again.
    m_server->serve(lastChange, "123457");
    checker.checkLatestBuild();
    QTRY_COMPARE(latest.size(), 2);
    QCOMPARE(latest.last().first().toInt(), 123457);
    QCOMPARE(m_server->requestCount(lastChange), 2);
}

void TestVersionChecker::signalParameterNames()
{
    // Handlers in the view see the arguments under these names.
    const QMetaObject &meta = VersionChecker::staticMetaObject;
    QCOMPARE(meta.method(meta.indexOfSignal("latestBuildChanged(int)")).parameterNames(),
             QList<QByteArray> { "latestBuild" });
    QCOMPARE(meta.method(meta.indexOfSignal("checkingChanged(bool)")).parameterNames(),
             QList<QByteArray> { "checking" });
}

TARROWIN_TEST_MAIN(TestVersionChecker, false)
#include "tst_versionchecker.moc"

#include "shell/singleinstance.h"
#include "support/programstarter.h"
#include "support/testenvironment.h"

#include <QElapsedTimer>
#include <QLocalSocket>
#include <QSignalSpy>
#include <QtConcurrent/QtConcurrentRun>

class TestSingleInstance : public QObject
{
    Q_OBJECT

public:
    explicit TestSingleInstance(TestEnvironment &) { }

private slots:
    void secondInstanceIsRefusedUntilTheFirstEnds();
    void showReachesTheRunningInstance();
    void misbehavingClientIsDropped_data();
    void misbehavingClientIsDropped();
    void notifyWithoutServerGivesUpInTime();
    void jobAnswerCutShortSaysSo();
    void lockOfKilledProgramIsTakenOver();
};

void TestSingleInstance::secondInstanceIsRefusedUntilTheFirstEnds()
{
    QTemporaryDir runtime;
    auto first = std::make_unique<SingleInstance>(runtime.path());
    QVERIFY(first->acquire());
    QVERIFY(first->isLocked());

    SingleInstance second(runtime.path());
    QVERIFY(!second.acquire());
    QVERIFY(!second.isLocked());

    first.reset();
    QVERIFY(second.acquire());
    QVERIFY(second.isLocked());
}

void TestSingleInstance::showReachesTheRunningInstance()
{
    QTemporaryDir runtime;
    SingleInstance first(runtime.path());
    QVERIFY(first.acquire());
    QSignalSpy shown(&first, &SingleInstance::showRequested);

    SingleInstance second(runtime.path());
    QVERIFY(!second.acquire());
    QVERIFY(second.notifyRunning());
    QVERIFY(shown.wait());
    QCOMPARE(shown.size(), 1);
}

void TestSingleInstance::misbehavingClientIsDropped_data()
{
    QTest::addColumn<QByteArray>("message");
    QTest::newRow("silent") << QByteArray();
    QTest::newRow("no line end") << QByteArray("show");
    QTest::newRow("unknown request") << QByteArray("quit\n");
    QTest::newRow("oversized") << QByteArray(64 * 1024, 'x');
    QTest::newRow("oversized line") << QByteArray(1000, 'x') + '\n';
}

void TestSingleInstance::misbehavingClientIsDropped()
{
    QFETCH(QByteArray, message);
    QTemporaryDir runtime;
    SingleInstance first(runtime.path());
    QVERIFY(first.acquire());
    QSignalSpy shown(&first, &SingleInstance::showRequested);

    QLocalSocket client;
    client.connectToServer(first.serverPath());
    QVERIFY(client.waitForConnected(1000));
    QSignalSpy dropped(&client, &QLocalSocket::disconnected);
    client.write(message);
    QVERIFY(dropped.wait(SingleInstance::clientTimeoutMs + 3000));
    QCOMPARE(shown.size(), 0);

    // The running instance still answers.
    QVERIFY(SingleInstance(runtime.path()).notifyRunning());
    QVERIFY(shown.wait());
}

void TestSingleInstance::notifyWithoutServerGivesUpInTime()
{
    QTemporaryDir runtime;
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(!SingleInstance(runtime.path()).notifyRunning());
    QVERIFY(elapsed.elapsed() < SingleInstance::notifyTimeoutMs + 1000);
}

// A later start hands a script's job over and passes the answer on; an instance that goes
// away before its last line leaves the start saying so.
void TestSingleInstance::jobAnswerCutShortSaysSo()
{
    QTemporaryDir runtime;
    SingleInstance first(runtime.path());
    QVERIFY(first.acquire());
    QByteArray asked;
    connect(&first, &SingleInstance::jobRequested, this,
            [&asked](const QByteArray &job, QLocalSocket *reply) {
                asked = job;
                reply->write("out half\n");
                reply->disconnectFromServer();
            });
    // The later start waits for the answer, so it runs beside the event loop that gives it.
    QByteArrayList said;
    QFuture<int> result = QtConcurrent::run([&runtime, &said] {
        return SingleInstance(runtime.path())
            .forwardJob("install-build M131",
                        [&said](const QByteArray &kind, const QByteArray &text) {
                            said.append(kind + ':' + text);
                        });
    });
    QTRY_VERIFY_WITH_TIMEOUT(result.isFinished(), 10000);
    QCOMPARE(result.result(), 1);
    QCOMPARE(asked, QByteArray("install-build M131"));
    QCOMPARE(said,
             (QByteArrayList { "out:half", "err:The running Tarrowin ended before the job did" }));
}

void TestSingleInstance::lockOfKilledProgramIsTakenOver()
{
    // The real program holds the lock in another process and dies without cleaning up,
    // leaving its lock file and socket behind.
    ProgramStarter home(QStringLiteral(TARROWIN_UNDER_TEST));
    home.setEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    SingleInstance probe(home.runtimeDir());
    QProcess *program = home.start({ QStringLiteral("--tray") });
    QVERIFY(program->waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(probe.serverPath()), 20000);
    QVERIFY(!probe.acquire());
    program->kill();
    QVERIFY(program->waitForFinished());
    QVERIFY(QFile::exists(probe.lockPath()));

    QVERIFY(probe.acquire());
    QSignalSpy shown(&probe, &SingleInstance::showRequested);
    QVERIFY(SingleInstance(home.runtimeDir()).notifyRunning());
    QVERIFY(shown.wait());
}

TARROWIN_TEST_MAIN(TestSingleInstance, false)
#include "tst_singleinstance.moc"

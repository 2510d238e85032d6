#include "install/browserlauncher.h"
#include "install/browserrelaunch.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>

#include <csignal>

// A fake browser runs from build 1 when build 2 becomes current.
class TestBrowserRelaunch : public QObject
{
    Q_OBJECT

public:
    explicit TestBrowserRelaunch(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void relaunchIntoTheCurrentBuild_data();
    void relaunchIntoTheCurrentBuild();

private:
    TestEnvironment &m_environment;
};

void TestBrowserRelaunch::relaunchIntoTheCurrentBuild_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<bool>("stays");
    QTest::addColumn<bool>("outdated");

    QTest::newRow("quits") << QStringList() << false << true;
    // A page that asks to stay keeps the browser open: nothing is forced.
    QTest::newRow("stays") << QStringList() << true << true;
    // Renderers and helpers run the same chrome; only the browser process counts.
    QTest::newRow("renderer") << QStringList { "--type=renderer" } << false << false;
}

void TestBrowserRelaunch::relaunchIntoTheCurrentBuild()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, stays);
    QFETCH(bool, outdated);
    const QString base = m_environment.tempDir() + "/relaunch";
    QDir(base).removeRecursively();
    const InstallRoot root(base + "/root");
    for (const int build : { 1, 2 }) {
        QVERIFY(QDir().mkpath(root.versionPath(build)));
        QVERIFY(QFile::copy(TARROWIN_FAKE_BROWSER, root.versionPath(build) + "/chrome"));
    }
    QVERIFY(QFile::link("versions/1", root.currentLink()));
    const QString profile = base + "/profile";
    QVERIFY(QDir().mkpath(profile));
    if (stays)
        QVERIFY(QFile(profile + "/stay").open(QIODevice::WriteOnly));
    QVERIFY(BrowserLauncher::install(root, profile, QString()));

    QProcess old;
    old.start(BrowserLauncher::path(root), arguments);
    QTRY_VERIFY(QFileInfo(profile + "/SingletonLock").isSymLink());
    BrowserRelaunch relaunch(root);
    relaunch.refresh();
    QVERIFY(!relaunch.outdated());
    QVERIFY(QFile::remove(root.currentLink()));
    QVERIFY(QFile::link("versions/2", root.currentLink()));
    relaunch.refresh();
    QCOMPARE(relaunch.outdated(), outdated);

    QSignalSpy finished(&relaunch, &BrowserRelaunch::relaunchFinished);
    relaunch.setQuitTimeout(1000);
    QCOMPARE(relaunch.relaunch(), outdated);
    if (outdated) {
        QVERIFY(finished.wait(10000));
        QCOMPARE(finished.first(), (QVariantList { !stays, !stays }));
        QCOMPARE(old.state() == QProcess::NotRunning, !stays);
    }
    // The new build runs, with the session restored, or the old one still does.
    const QString expected
        = QStringLiteral("%1/chrome")
              .arg(QFileInfo(root.versionPath(outdated && !stays ? 2 : 1)).canonicalFilePath());
    QTRY_VERIFY(QFileInfo(profile + "/SingletonLock").isSymLink());
    QFile record(profile + "/fakebrowser.record");
    QVERIFY(record.open(QIODevice::ReadOnly));
    const QString last = QString::fromLocal8Bit(record.readAll()).split("start\n").last();
    QCOMPARE(last.contains("\narg --restore-last-session\n"), outdated && !stays);
    QVERIFY2(last.endsWith("\nexe " + expected + "\n"), qPrintable(last));
    const QString owner = QFile::symLinkTarget(profile + "/SingletonLock");
    ::kill(pid_t(owner.section('-', -1).toInt()), SIGKILL);
    old.kill();
    old.waitForFinished(5000);
}

TARROWIN_TEST_MAIN(TestBrowserRelaunch, false)
#include "tst_browserrelaunch.moc"

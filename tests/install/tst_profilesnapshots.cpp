#include "install/browserlauncher.h"
#include "install/profilecopy.h"
#include "install/profileguard.h"
#include "install/profilesnapshots.h"
#include "install/restorejournal.h"
#include "settings/config.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QScopeGuard>
#include <QSignalSpy>

#include <csignal>
#include <cstring>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

using Files = QMap<QString, QByteArray>;

// A profile as milestone 120 left it, snapshotted, moved on by 121, and restored.
class TestProfileSnapshots : public QObject
{
    Q_OBJECT

public:
    explicit TestProfileSnapshots(TestEnvironment &environment)
        : m_base(environment.tempDir() + "/snapshots")
    {
    }

private slots:
    void init();
    void snapshotAndRestore_data();
    void snapshotAndRestore();
    void newestThreeMilestonesKept();
    void olderMilestoneIsAskedAboutNewerOneSnapshotted();
    void chromiumProfileCopied_data();
    void chromiumProfileCopied();

private:
    // Writes each path = contents below the base; a contents starting with "->" makes a link.
    void write(const Files &files) const;
    QByteArray read(const QString &path) const;
    // What restores and copies leave below the base.
    QStringList leftovers() const;
    // The stores of the profile, as restored from 120 or as 121 left them.
    void compareProfile(bool restored) const;
    // A restore in a process of its own, killed as a crash would stop it: once it has copied
    // Default's History beside the store it replaces. Then the next start or snapshot.
    void killedRestore(const ProfileSnapshots &snapshots, const QString &resumedBy) const;

    QString m_base;
    QString m_profile = m_base + "/profile";
    InstallRoot m_root { m_base + "/root" };
};

void TestProfileSnapshots::init()
{
    QDir(m_base).removeRecursively();
    QVERIFY(QDir().mkpath(m_root.path()));
    write({ { "profile/Local State", "ls120" },
            { "profile/Last Version", "120.0.1.0" },
            { "profile/Default/Preferences", "p120" },
            { "profile/Default/History", "h120" },
            { "profile/Default/Sessions/Session_1", "s120" },
            { "profile/Default/Network/Cookies", "c120" },
            { "profile/Default/Network/Other", "net" },
            { "profile/Default/Cache/x", "cache" },
            { "outside/secret", "secret" },
            { "outside/Preferences", "theirs" } });
}

void TestProfileSnapshots::write(const Files &files) const
{
    for (auto file = files.begin(); file != files.end(); ++file) {
        const QString path = m_base + '/' + file.key();
        QDir().mkpath(QFileInfo(path).path());
        QFile::remove(path);
        if (file.value().startsWith("->"))
            QFile::link(m_base + '/' + file.value().mid(2), path);
        else if (QFile out(path); out.open(QIODevice::WriteOnly)) {
            // "holes:N" makes N bytes that hold four, "data:N" N bytes of data.
            const QList<QByteArray> sized = file.value().split(':');
            const qint64 size = sized.value(1).toLongLong();
            out.write(sized[0] == "data"        ? QByteArray(size, 'x')
                          : sized[0] == "holes" ? "data"
                                                : file.value());
            if (sized[0] == "holes")
                out.resize(size);
        }
    }
}

QStringList TestProfileSnapshots::leftovers() const
{
    QStringList found;
    QDirIterator walk(m_base, { ".tarrowin-*" }, QDir::AllEntries | QDir::Hidden | QDir::System,
                      QDirIterator::Subdirectories);
    while (walk.hasNext())
        found.append(walk.next());
    return found;
}

void TestProfileSnapshots::compareProfile(bool restored) const
{
    const Files expected { { "Last Version", restored ? "120.0.1.0" : "121.0.1.0" },
                           { "Default/History", restored ? "h120" : "h121" },
                           { "Default/Top Sites", restored ? "(none)" : "t121" },
                           { "Default/Sessions/Session_2", restored ? "(none)" : "s121" },
                           { "Default/Network/Cookies", restored ? "c120" : "c121" },
                           { "Default/Sessions/Session_1", "s120" },
                           { "Local State", "ls120" },
                           { "Default/Network/Other", "net2" },
                           { "Default/Cache/x", "cache" } };
    for (auto file = expected.begin(); file != expected.end(); ++file)
        QCOMPARE(read("profile/" + file.key()), file.value());
}

void TestProfileSnapshots::killedRestore(const ProfileSnapshots &snapshots,
                                         const QString &resumedBy) const
{
    const pid_t child = ::fork();
    if (child == 0) {
        RestoreJournal::setStoreCopiedSeam([](const char *store) {
            if (std::strcmp(store, "History") == 0)
                ::raise(SIGKILL);
        });
        snapshots.restore(120);
        ::_exit(0);
    }
    int status = 0;
    bool reaped = false;
    QTRY_VERIFY(reaped || (reaped = ::waitpid(child, &status, WNOHANG) == child));
    QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL);
    QCOMPARE(read("profile/Last Version"), "120.0.1.0");
    QCOMPARE(QDir(m_profile + "/Default")
                 .entryList({ ".tarrowin-restore-*" }, QDir::Dirs | QDir::Hidden)
                 .size(),
             1);
    if (resumedBy == "start") {
        Config::set(Config::BrowserProfile, m_profile);
        const auto forget = qScopeGuard([] { Config::remove(Config::BrowserProfile); });
        const ProfileGuard guard(m_root);
        QVERIFY(QSignalSpy(&guard, &ProfileGuard::protectDone).wait(10000));
    } else {
        QVERIFY(snapshots.take());
    }
}

QByteArray TestProfileSnapshots::read(const QString &path) const
{
    QFile file(m_base + '/' + path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(none)");
}

void TestProfileSnapshots::snapshotAndRestore_data()
{
    QTest::addColumn<Files>("planted");
    QTest::addColumn<bool>("done");
    // The profiles kept aside before restores, after this one.
    QTest::addColumn<int>("keptAside");
    // What comes after a restore killed half-way, before the restore is done again.
    QTest::addColumn<QString>("resumedBy");
    QTest::newRow("plain") << Files() << true << 1 << QString();
    // Links in the profile lead nowhere: not copied, not written through, not removed through.
    QTest::newRow("links planted") << Files { { "profile/Default/Bookmarks", "->outside/secret" },
                                              { "profile/Default/Web Data", "->outside" },
                                              { "profile/Profile 2", "->outside" },
                                              { "profile/.tarrowin-journal", "->outside/secret" },
                                              { "profile/Default/Login Data", "->outside/secret" } }
                                   << true << 1 << QString();
    QTest::newRow("browser running")
        << Files { { "profile/SingletonLock", "->host-1" } } << false << 0 << QString();
    // What a crash left goes, and only the newest kept-aside profiles stay; links are removed,
    // never followed.
    const QString snapshots = "root/profile-snapshots/";
    QTest::newRow("leftovers") << Files { { snapshots + ".partial-1-a/History", "half" },
                                          { snapshots + ".partial-2-b", "->outside" },
                                          { snapshots + "kept-20200101-000000000/x", "old" },
                                          { snapshots + "kept-20200102-000000000/x", "old" },
                                          { snapshots + "kept-20200103-000000000/x", "old" },
                                          // A journal naming a path is none of a restore's.
                                          { "profile/.tarrowin-journal",
                                            "kept-20200103-000000000/../../../outside" },
                                          { snapshots + "kept-20990101-000000000", "->outside" } }
                               << true << 3 << QString();
    QTest::newRow("leftovers of restores and copies")
        << Files { { "profile/.tarrowin-restore-1-a/History", "half" },
                   { "profile/.tarrowin-restore-2-b", "->outside" },
                   { "profile/Default/.tarrowin-restore-3-c/History", "half" },
                   { "profile/Default/Network/.tarrowin-restore-4-d/Cookies", "half" },
                   { ".tarrowin-copy-1-a/Default/Preferences", "half" },
                   { ".tarrowin-copy-2-b", "->outside/secret" } }
        << true << 1 << QString();
    // The profile goes back as it was before the killed restore, never a mix of milestones.
    QTest::newRow("restore killed, undone at the next start")
        << Files() << true << 2 << QString("start");
    QTest::newRow("restore killed, undone by the next snapshot")
        << Files() << true << 2 << QString("snapshot");
}

void TestProfileSnapshots::snapshotAndRestore()
{
    QFETCH(Files, planted);
    QFETCH(bool, done);
    QFETCH(int, keptAside);
    QFETCH(QString, resumedBy);
    write(planted);
    const ProfileSnapshots snapshots(m_root, m_profile);
    QCOMPARE(snapshots.take(), done);
    QCOMPARE(leftovers(), QStringList());
    QDirIterator walk(snapshots.directory(), QDir::AllEntries | QDir::System | QDir::Hidden,
                      QDirIterator::Subdirectories);
    while (walk.hasNext()) {
        const QFileInfo entry = walk.nextFileInfo();
        QFile file(entry.filePath());
        const QByteArray contents = file.open(QIODevice::ReadOnly) ? file.readAll() : "";
        QVERIFY2(!entry.isSymLink() && contents != "secret" && contents != "theirs",
                 qPrintable(entry.filePath()));
    }

    write({ { "profile/Last Version", "121.0.1.0" },
            { "profile/Default/History", "h121" },
            { "profile/Default/Top Sites", "t121" },
            { "profile/Default/Sessions/Session_2", "s121" },
            { "profile/Default/Network/Cookies", "c121" },
            { "profile/Default/Network/Other", "net2" } });
    if (!resumedBy.isEmpty()) {
        killedRestore(snapshots, resumedBy);
        compareProfile(false);
        QCOMPARE(leftovers(), QStringList());
    }
    QCOMPARE(snapshots.restore(120), done);
    compareProfile(done);
    QCOMPARE(read("outside/secret"), QByteArray("secret"));
    QCOMPARE(read("outside/Preferences"), QByteArray("theirs"));
    // The profile as it was before the restore is kept aside.
    const QStringList kept = QDir(snapshots.directory()).entryList({ "kept-*" }, QDir::Dirs);
    QCOMPARE(kept.size(), keptAside);
    if (done)
        QCOMPARE(read("root/profile-snapshots/" + kept.last() + "/Default/Top Sites"), "t121");
    QVERIFY(QDir(snapshots.directory())
                .entryList({ ".partial-*" }, QDir::AllEntries | QDir::Hidden | QDir::System)
                .isEmpty());
    if (keptAside == ProfileSnapshots::keptAside)
        QCOMPARE(kept.first(), "kept-20200102-000000000");
}

void TestProfileSnapshots::newestThreeMilestonesKept()
{
    const ProfileSnapshots snapshots(m_root, m_profile);
    for (const char *version : { "118.0.1.0", "121.0.1.0", "119.0.1.0", "120.0.2.0" }) {
        write({ { "profile/Last Version", version } });
        QVERIFY(snapshots.take());
    }
    QCOMPARE(snapshots.milestones(), (QList<int> { 121, 120, 119 }));
    QCOMPARE(ProfileSnapshots::milestone("Chromium 123.0.6312.4 snapshot"), 123);
    QCOMPARE(ProfileSnapshots::milestone("Chromium snapshot"), -1);
}

void TestProfileSnapshots::olderMilestoneIsAskedAboutNewerOneSnapshotted()
{
    const QString profile = BrowserLauncher::profile();
    QDir(profile).removeRecursively();
    QVERIFY(QDir().mkpath(profile));
    write({ { "root/versions/1/.tarrowin-version", "Chromium 120.0.1.0 snapshot" },
            { "root/versions/2/.tarrowin-version", "Chromium 121.0.1.0 snapshot" } });
    QVERIFY(QFile::link("versions/2", m_root.currentLink()));
    QVERIFY(QFile::copy(m_profile + "/Last Version", profile + "/Last Version"));
    const ProfileGuard guard(m_root);
    QCOMPARE(guard.restoreLabel(1), QString());
    // Build 2 is chrome-less here, so not current: the snapshot waits for a real one.
    QVERIFY(!ProfileGuard::protect(m_root, profile));
    QVERIFY(QFile::copy(TARROWIN_FAKE_BROWSER, m_root.versionPath(2) + "/chrome"));
    QVERIFY(ProfileGuard::protect(m_root, profile));
    QCOMPARE(guard.restoreLabel(1), QStringLiteral("Restore the profile from Chromium 120"));
    QVERIFY(QFile::remove(profile + "/Last Version"));
    write({ { "profile/Last Version", "121.0.1.0" } });
    QVERIFY(QFile::copy(m_profile + "/Last Version", profile + "/Last Version"));
    QCOMPARE(
        guard.question(1),
        QStringLiteral("This profile was last used by Chromium 121. Build 1 is Chromium 120."));
    QCOMPARE(guard.question(2), QString());
    // Put back off the main thread; the answer comes as a signal.
    ProfileGuard worker(m_root);
    QSignalSpy restored(&worker, &ProfileGuard::restored);
    QVERIFY(worker.restore(1) && worker.restoring() && !worker.restore(1));
    QVERIFY(restored.wait(10000));
    QCOMPARE(restored.first(), (QVariantList { 1, QString() }));
    QCOMPARE(ProfileSnapshots(m_root, profile).profileMilestone(), 120);
}

void TestProfileSnapshots::chromiumProfileCopied_data()
{
    QTest::addColumn<Files>("planted");
    QTest::addColumn<bool>("started");
    QTest::addColumn<bool>("copied");
    // The MB of a disk of its own the copy goes to; 0 for none.
    QTest::addColumn<int>("disk");
    QTest::addColumn<QString>("error");
    QTest::newRow("copied") << Files { { "chromium/Default/x", "->outside/secret" } } << true
                            << true << 0 << QString();
    QTest::newRow("Chromium runs")
        << Files { { "chromium/SingletonLock", "->host-1" } } << true << false << 0 << QString();
    QTest::newRow("own profile exists")
        << Files { { "own/Preferences", "mine" } } << false << false << 0 << QString();
    QTest::newRow("10 GB of holes onto a small disk")
        << Files { { "chromium/Default/big", "holes:10737418240" } } << true << true << 10
        << QString();
    QTest::newRow("disk too small")
        << Files { { "chromium/Default/big", "data:19800000" } } << true << false << 10
        << QString("Not enough space: the copy needs 20 MB, 10 MB are free");
}

void TestProfileSnapshots::chromiumProfileCopied()
{
    QFETCH(Files, planted);
    QFETCH(bool, started);
    QFETCH(bool, copied);
    QFETCH(int, disk);
    QFETCH(QString, error);
    const QByteArray mount = QFile::encodeName(m_base + "/disk");
    if (disk) {
        QVERIFY(QDir().mkpath(mount));
        const QByteArray size = "size=" + QByteArray::number(disk) + 'm';
        if (::mount("tmpfs", mount, "tmpfs", 0, size.constData()) != 0)
            QSKIP("A small disk is a tmpfs mounted for the test, which takes root");
        Config::set(Config::BrowserProfile, m_base + "/disk/own");
    }
    const auto unmount = qScopeGuard([&] {
        if (disk) {
            Config::remove(Config::BrowserProfile);
            ::umount2(mount, MNT_DETACH);
        }
    });
    const QString chromium = ProfileCopy::source();
    const QString own = BrowserLauncher::profile();
    QDir(chromium).removeRecursively();
    QDir(own).removeRecursively();
    QFile::remove(chromium);
    QVERIFY(QFile::link(m_base + "/chromium", chromium));
    QVERIFY(QFile::link(m_base + "/own", own));
    write({ { "chromium/Local State", "ls" }, { "chromium/Default/Sessions/s", "tabs" } });
    write(planted);
    if (!planted.contains("own/Preferences"))
        QVERIFY(QFile::remove(own));
    ProfileCopy copy;
    QSignalSpy finished(&copy, &ProfileCopy::finished);
    QCOMPARE(copy.start(), started);
    if (started)
        QVERIFY(finished.wait(10000));
    QCOMPARE(finished.value(0).value(0).toBool(), copied);
    if (!error.isEmpty())
        QCOMPARE(finished.value(0).value(1).toString(), error);
    if (disk)
        QCOMPARE(QDir(mount).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 copied ? QStringList { "own" } : QStringList());
    // Holes stay holes: the copy takes the room the source does.
    struct stat big;
    QVERIFY(::stat(QFile::encodeName(own + "/Default/big"), &big) != 0
            || (QFileInfo(m_base + "/chromium/Default/big").size() == big.st_size
                && big.st_blocks * 512 < (1 << 20)));
    QCOMPARE(read("chromium/Default/Sessions/s"), "tabs");
    QCOMPARE(QFile::exists(own + "/Default/Sessions/s"), copied);
    QVERIFY(!QFileInfo(own + "/Default/x").exists());
    QCOMPARE(read("outside/secret"), "secret");
    QVERIFY(QFile::remove(chromium));
}

TARROWIN_TEST_MAIN(TestProfileSnapshots, false)
#include "tst_profilesnapshots.moc"

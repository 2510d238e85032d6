#include "browser/browserlauncher.h"
#include "browser/profilecopy.h"
#include "browser/profileguard.h"
#include "browser/profilesnapshots.h"
#include "browser/restorejournal.h"
#include "browser/steplauncher.h"
#include "settings/config.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFile>
#include <QLocalServer>
#include <QScopeGuard>
#include <QSignalSpy>

#include <csignal>
#include <filesystem>
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
    void goBackAnswers_data();
    void goBackAnswers();
    void chromiumProfileCopied_data();
    void chromiumProfileCopied();
    void bisectStepsLeaveTheOwnProfileAsItWas();

private:
    // Writes each path = contents below the base; a contents starting with "->" makes a link.
    void write(const Files &files) const;
    QByteArray read(const QString &path) const;
    QStringList leftovers() const;
    // Every entry below dir: its kind, link target or contents, and modification time.
    static QStringList treeState(const QString &dir);
    // A restore killed as a crash would stop it, once it has copied Default's History beside
    // the store it replaces: the next start or snapshot puts the profile back as it was, never
    // a mix of milestones.
    void killedRestore(const ProfileSnapshots &snapshots, bool atStart, const Files &before) const;

    QString m_base;
    QString m_profile = m_base + "/profile";
    InstallRoot m_root { m_base + "/root" };
};

void TestProfileSnapshots::init()
{
    QDir(m_base).removeRecursively();
    Config::remove(Config::BrowserProfile);
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
            // "holes:N" makes N bytes, nearly all holes; "data:N" N bytes of data.
            const qint64 size = file.value().mid(file.value().indexOf(':') + 1).toLongLong();
            out.write(file.value().startsWith("data:") ? QByteArray(size, 'x') : file.value());
            if (file.value().startsWith("holes:"))
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

void TestProfileSnapshots::killedRestore(const ProfileSnapshots &snapshots, bool atStart,
                                         const Files &before) const
{
    const pid_t child = ::fork();
    if (child == 0) {
        RestoreJournal::setStoreCopiedSeam([](const char *store) {
            if (QByteArray(store) == "History")
                ::raise(SIGKILL);
        });
        ::_exit(snapshots.restore(120));
    }
    // The child does what the other rows do in this process; it does not outlive the restore.
    int status = 0;
    QVERIFY(::waitpid(child, &status, 0) == child && WIFSIGNALED(status)
            && WTERMSIG(status) == SIGKILL);
    QCOMPARE(read("profile/Last Version"), "120.0.1.0"); // half restored
    if (atStart) {
        Config::set(Config::BrowserProfile, m_profile);
        const ProfileGuard guard(m_root);
        QVERIFY(QSignalSpy(&guard, &ProfileGuard::protectDone).wait(10000));
    } else {
        QVERIFY(snapshots.take());
    }
    for (auto file = before.begin(); file != before.end(); ++file)
        QCOMPARE(read(file.key()), file.value());
    QCOMPARE(leftovers(), QStringList());
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
    QTest::newRow("plain") << Files() << true << 1;
    // Links in the profile lead nowhere: not copied, not written through, not removed through.
    QTest::newRow("links planted") << Files { { "profile/Default/Bookmarks", "->outside/secret" },
                                              { "profile/Default/Web Data", "->outside" },
                                              { "profile/Profile 2", "->outside" },
                                              { "profile/.tarrowin-journal", "->outside/secret" },
                                              { "profile/Default/Login Data", "->outside/secret" } }
                                   << true << 1;
    QTest::newRow("browser running")
        << Files { { "profile/SingletonLock", "->host-1" } } << false << 0;
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
                               << true << 3;
    QTest::newRow("leftovers of restores and copies")
        << Files { { "profile/.tarrowin-restore-1-a/History", "half" },
                   { "profile/.tarrowin-restore-2-b", "->outside" },
                   { "profile/Default/.tarrowin-restore-3-c/History", "half" },
                   { "profile/Default/Network/.tarrowin-restore-4-d/Cookies", "half" },
                   { ".tarrowin-copy-1-a/Default/Preferences", "half" },
                   { ".tarrowin-copy-2-b", "->outside/secret" } }
        << true << 1;
    // Named so, a restore is killed half-way first, then the restore is done again.
    QTest::newRow("restore killed, undone at the next start") << Files() << true << 2;
    QTest::newRow("restore killed, undone by the next snapshot") << Files() << true << 2;
}

void TestProfileSnapshots::snapshotAndRestore()
{
    QFETCH(Files, planted);
    QFETCH(bool, done);
    QFETCH(int, keptAside);
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

    const Files moved { { "profile/Last Version", "121.0.1.0" },
                        { "profile/Default/History", "h121" },
                        { "profile/Default/Top Sites", "t121" },
                        { "profile/Default/Sessions/Session_2", "s121" },
                        { "profile/Default/Network/Cookies", "c121" },
                        { "profile/Default/Network/Other", "net2" },
                        { "profile/Default/Sessions/Session_1", "s120" },
                        { "profile/Local State", "ls120" },
                        { "profile/Default/Cache/x", "cache" } };
    write(moved);
    if (const QString row = QTest::currentDataTag(); row.startsWith("restore killed"))
        killedRestore(snapshots, row.endsWith("start"), moved);
    QCOMPARE(snapshots.restore(120), done);
    const Files expected { { "Last Version", done ? "120.0.1.0" : "121.0.1.0" },
                           { "Default/History", done ? "h120" : "h121" },
                           { "Default/Top Sites", done ? "(none)" : "t121" },
                           { "Default/Sessions/Session_2", done ? "(none)" : "s121" },
                           { "Default/Network/Cookies", done ? "c120" : "c121" },
                           { "Default/Sessions/Session_1", "s120" },
                           { "Local State", "ls120" },
                           { "Default/Network/Other", "net2" },
                           { "Default/Cache/x", "cache" } };
    for (auto file = expected.begin(); file != expected.end(); ++file)
        QCOMPARE(read("profile/" + file.key()), file.value());
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

void TestProfileSnapshots::goBackAnswers_data()
{
    // The build gone back to, then pairs of an answer (-1 for none) and the previous build at
    // the time; the builds switched to, and whether the profile was restored first.
    QTest::addColumn<QList<int>>("steps");
    QTest::addColumn<QList<int>>("switches");
    QTest::addColumn<bool>("restored");
    const int open = ProfileGuard::OpenAnyway;
    const int restore = ProfileGuard::RestoreProfile;
    QTest::newRow("nothing to ask") << QList<int> { 2 } << QList<int> { 2 } << false;
    QTest::newRow("asked, no answer") << QList<int> { 1 } << QList<int>() << false;
    QTest::newRow("open anyway") << QList<int> { 1, open, 1 } << QList<int> { 1 } << false;
    QTest::newRow("open anyway, clicked twice")
        << QList<int> { 1, open, 1, open, 1 } << QList<int> { 1 } << false;
    QTest::newRow("open anyway, another build there since")
        << QList<int> { 1, open, 3 } << QList<int>() << false;
    QTest::newRow("restore") << QList<int> { 1, restore, 1 } << QList<int> { 1 } << true;
    QTest::newRow("restore, another build there since")
        << QList<int> { 1, restore, 3, open, 1 } << QList<int>() << false;
}

void TestProfileSnapshots::goBackAnswers()
{
    QFETCH(QList<int>, steps);
    QFETCH(QList<int>, switches);
    QFETCH(bool, restored);
    const QString profile = BrowserLauncher::profile();
    QDir(profile).removeRecursively();
    QVERIFY(QDir().mkpath(profile));
    write({ { "root/versions/1/.tarrowin-version", "Chromium 120.0.1.0 snapshot" },
            { "root/versions/2/.tarrowin-version", "Chromium 121.0.1.0 snapshot" } });
    QVERIFY(QFile::link("versions/2", m_root.currentLink()));
    QVERIFY(QFile::copy(TARROWIN_FAKE_BROWSER, m_root.versionPath(2) + "/chrome"));
    QVERIFY(QFile::copy(m_profile + "/Last Version", profile + "/Last Version"));
    QVERIFY(ProfileGuard::protect(m_root, profile));
    QVERIFY(QFile::remove(profile + "/Last Version"));
    write({ { "profile/Last Version", "121.0.1.0" } });
    QVERIFY(QFile::copy(m_profile + "/Last Version", profile + "/Last Version"));

    ProfileGuard guard(m_root);
    QSignalSpy switched(&guard, &ProfileGuard::switchTo);
    QSignalSpy asked(&guard, &ProfileGuard::asking);
    QSignalSpy restores(&guard, &ProfileGuard::restored);
    guard.goBack(steps.first());
    QCOMPARE(asked.size(), steps.first() == 1 ? 1 : 0);
    if (!asked.isEmpty())
        QCOMPARE(asked.first(),
                 (QVariantList { 1,
                                 "This profile was last used by Chromium 121. Build 1 is "
                                 "Chromium 120.",
                                 "Restore the profile from Chromium 120" }));
    for (qsizetype step = 1; step + 1 < steps.size(); step += 2)
        guard.answer(ProfileGuard::Answer(steps.at(step)), steps.at(step + 1));
    // The switch waits for the restore.
    if (restored)
        QVERIFY(restores.wait(10000) && switched.size() <= 1);
    QTRY_COMPARE(switched.size(), switches.size());
    for (qsizetype i = 0; i < switches.size(); ++i)
        QCOMPARE(switched.at(i).first().toInt(), switches.at(i));
    QCOMPARE(restores.size(), restored ? 1 : 0);
}

void TestProfileSnapshots::chromiumProfileCopied_data()
{
    QTest::addColumn<Files>("planted");
    QTest::addColumn<bool>("started");
    // Why the copy fails, if it does.
    QTest::addColumn<QString>("error");
    QTest::newRow("copied") << Files { { "chromium/Default/x", "->outside/secret" } } << true
                            << QString();
    QTest::newRow("Chromium runs")
        << Files { { "chromium/SingletonLock", "->host-1" } } << true << "Chromium is running";
    QTest::newRow("own profile exists")
        << Files { { "own/Preferences", "mine" } } << false << QString();
    // A big file goes to a disk of its own, of 10 MB.
    QTest::newRow("10 GB of holes onto a small disk")
        << Files { { "chromium/Default/big", "holes:10737418240" } } << true << QString();
    QTest::newRow("disk too small") << Files { { "chromium/Default/big", "data:19800000" } } << true
                                    << "Not enough space: the copy needs 20 MB, 10 MB are free";
}

void TestProfileSnapshots::chromiumProfileCopied()
{
    QFETCH(Files, planted);
    QFETCH(bool, started);
    QFETCH(QString, error);
    const bool copied = started && error.isEmpty();
    const bool disk = planted.contains("chromium/Default/big");
    const QByteArray mount = QFile::encodeName(m_base + "/disk");
    if (disk && (!QDir().mkpath(mount) || ::mount("tmpfs", mount, "tmpfs", 0, "size=10m") != 0))
        QSKIP("A small disk is a tmpfs mounted for the test, which takes root");
    if (disk)
        Config::set(Config::BrowserProfile, m_base + "/disk/own");
    // Fails harmlessly where nothing is mounted.
    const auto unmount = qScopeGuard([&mount] { ::umount2(mount, MNT_DETACH); });
    const QString chromium = ProfileCopy::source();
    const QString own = BrowserLauncher::profile();
    QDir(chromium).removeRecursively();
    QDir(own).removeRecursively();
    QFile::remove(chromium); // left by a row that failed
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
    QCOMPARE(finished.value(0).value(1).toString().left(error.size()), error);
    if (disk)
        QCOMPARE(QDir(mount).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 copied ? QStringList { "own" } : QStringList());
    // Whole, and holes stay holes: 10 GB of data would not fit.
    QCOMPARE(QFileInfo(own + "/Default/big").size(),
             copied ? QFileInfo(m_base + "/chromium/Default/big").size() : 0);
    QCOMPARE(read("chromium/Default/Sessions/s"), "tabs");
    QCOMPARE(QFile::exists(own + "/Default/Sessions/s"), copied);
    QVERIFY(!QFileInfo(own + "/Default/x").exists());
    QCOMPARE(read("outside/secret"), "secret");
    QVERIFY(QFile::remove(chromium));
}

QStringList TestProfileSnapshots::treeState(const QString &dir)
{
    namespace fs = std::filesystem;
    QStringList state;
    for (const fs::directory_entry &entry : fs::recursive_directory_iterator(dir.toStdString())) {
        struct stat status = {};
        ::lstat(entry.path().c_str(), &status);
        const QString path = QString::fromStdString(entry.path().string());
        QFile file(path);
        state << path + ' ' + QString::number(status.st_mode) + ' '
                + QString::number(status.st_mtim.tv_sec) + '.'
                + QString::number(status.st_mtim.tv_nsec) + ' '
                + (entry.is_symlink() ? QString::fromStdString(fs::read_symlink(entry).string())
                       : entry.is_regular_file() && file.open(QIODevice::ReadOnly)
                       ? file.readAll().toHex()
                       : QString());
    }
    state.sort();
    return state;
}

void TestProfileSnapshots::bisectStepsLeaveTheOwnProfileAsItWas()
{
    // The own profile with a link out of it, the lock and cookie a crashed browser left, and
    // a socket; the step's browser is the fake one, exiting at once.
    Config::set(Config::BrowserProfile, m_profile);
    write({ { "profile/Default/out", "->outside" }, { "profile/SingletonCookie", "1" } });
    char host[256] = {};
    const QByteArray lock = QFile::encodeName(m_profile + "/SingletonLock");
    QVERIFY(::gethostname(host, sizeof host - 1) == 0
            && ::symlink(QByteArray(host) + "-999999999", lock) == 0);
    QLocalServer socket;
    QVERIFY(socket.listen(m_profile + "/Default/socket"));
    QVERIFY(QDir().mkpath(m_base + "/build"));
    QVERIFY(QFile::copy(TARROWIN_FAKE_BROWSER, m_base + "/build/chrome"));
    qputenv("FAKEBROWSER_EXIT", "1");
    const auto unset = qScopeGuard([] { qunsetenv("FAKEBROWSER_EXIT"); });
    const QStringList before = treeState(m_profile);
    // What an earlier run left goes at the start.
    QVERIFY(QDir().mkpath(StepLauncher::directory() + "/step-1-0/Default"));
    StepLauncher::removeLeftovers();
    QVERIFY(!QFileInfo::exists(StepLauncher::directory() + "/step-1-0"));
    StepLauncher steps;
    QSignalSpy finished(&steps, &StepLauncher::finished);
    QSignalSpy failed(&steps, &StepLauncher::failed);
    QString error;
    QStringList profiles;
    for (const auto mode : { StepLauncher::CopyOfOwnProfile, StepLauncher::FreshProfile,
                             StepLauncher::CopyOfOwnProfile }) {
        QVERIFY2(steps.start(m_base + "/build", mode, &error), qPrintable(error));
        QVERIFY(!steps.start(m_base + "/build", mode, &error));
        QVERIFY(finished.wait(10000));
        profiles << steps.profile();
    }
    QCOMPARE(failed.size(), 0);
    // The copy, made once, holds the stores and none of the lock, the link or the socket.
    const auto contents = [](const QString &path) {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    QCOMPARE(profiles.at(2), profiles.at(0));
    QCOMPARE(contents(profiles.at(0) + "/Default/History"), "h120");
    QCOMPARE(contents(profiles.at(0) + "/fakebrowser.record").count("start"), 2);
    for (const char *left :
         { "/SingletonLock", "/SingletonCookie", "/Default/out", "/Default/socket" })
        QVERIFY(!QFileInfo(profiles.at(0) + left).exists()
                && !QFileInfo(profiles.at(0) + left).isSymLink());
    QTRY_VERIFY(!QFileInfo::exists(profiles.at(1)));
    steps.endBisect();
    QTRY_VERIFY(!QFileInfo::exists(profiles.at(0)));
    QCOMPARE(treeState(m_profile), before);

    // A browser that holds the own profile is never copied from.
    QVERIFY(::unlink(lock) == 0 && ::symlink("elsewhere-1", lock) == 0);
    QVERIFY(steps.start(m_base + "/build", StepLauncher::CopyOfOwnProfile, &error));
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.first().first().toString(),
             "The profile was not copied: Chromium is running from " + m_profile);
    QCOMPARE(QDir(StepLauncher::directory())
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
}

TARROWIN_TEST_MAIN(TestProfileSnapshots, false)
#include "tst_profilesnapshots.moc"

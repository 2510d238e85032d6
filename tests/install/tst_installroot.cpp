#include "browser/sandboxcheck.h"
#include "browser/sandboxpermission.h"
#include "browser/sandboxprofile.h"
#include "builds/buildlistmodel.h"
#include "install/archiveinstaller.h"
#include "install/buildretention.h"
#include "install/installroot.h"
#include "install/keptversions.h"
#include "install/rootlock.h"
#include "install/treeremoval.h"
#include "settings/config.h"
#include "support/archivebuilder.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <memory>
#include <vector>

#include <unistd.h>

class TestInstallRoot : public QObject
{
    Q_OBJECT

public:
    explicit TestInstallRoot(TestEnvironment &) { }

private slots:
    void init();
    void cleanup();

    void installsReplaceAndKeepOneToGoBackTo();
    void failedActivationChangesNothing_data();
    void failedActivationChangesNothing();
    void reinstallingAnUnlinkedBuild_data();
    void reinstallingAnUnlinkedBuild();
    void goBack_data();
    void goBack();
    void setPrevious_data();
    void setPrevious();
    void rootMayBeALinkToADirectory();
    void lockKeepsLiveSessionsFromTheSweep();
    void lockHeldAloneElsewhereDoesNotHoldTheStartUp();
    void versionCheckEndsItsWholeGroup();
    void sandboxHelper_data();
    void sandboxHelper();
    void keepsAVersionAProcessRunsFrom();
    void retention_data();
    void retention();
    void pinsOutliveKeepBuildsAndRemovalRefuses();
    void buildListShowsMarksAndSizes();
    void removesLeftoverStagingOnly();
    void userNamespacesBlocked_data();
    void userNamespacesBlocked();

private:
    // An unpacked build in a fresh staging directory, its browser naming the build.
    QString stage(int build);
    void install(int build);
    QString linkText(const QString &link) const;
    QString browserContents() const { return contents(m_root->browserPath()); }
    static QString contents(const QString &path);
    static bool symlink(const QString &target, const QString &link);
    // A process list with nobody in it.
    QString noProcesses() const { return m_dir->filePath(QStringLiteral("no-proc")); }

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<InstallRoot> m_root;
    std::vector<std::unique_ptr<QTemporaryDir>> m_staging;
};

void TestInstallRoot::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_root = std::make_unique<InstallRoot>(m_dir->filePath(QStringLiteral("chromium")));
}

void TestInstallRoot::cleanup()
{
    // A row may have made the root read-only; the temporary directory must still go.
    if (m_root)
        QFile::setPermissions(m_root->path(),
                              QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                  | QFileDevice::ExeOwner);
    m_staging.clear();
    m_root.reset();
    m_dir.reset();
}

QString TestInstallRoot::stage(int build)
{
    m_staging.push_back(m_root->createStagingDir());
    const QString tree = m_staging.back()->filePath(QStringLiteral("tree"));
    QDir().mkpath(tree);
    QFile browser(tree + QStringLiteral("/chrome"));
    if (browser.open(QIODevice::WriteOnly))
        browser.write(QByteArray::number(build));
    browser.setPermissions(browser.permissions() | QFileDevice::ExeOwner);
    return tree;
}

void TestInstallRoot::install(int build)
{
    QString error;
    QVERIFY2(m_root->activate(build, stage(build), &error), qPrintable(error));
}

QString TestInstallRoot::linkText(const QString &link) const
{
    char buffer[256];
    const ssize_t length = ::readlink(QFile::encodeName(link).constData(), buffer, sizeof buffer);
    return length < 0 ? QString() : QString::fromUtf8(buffer, int(length));
}

QString TestInstallRoot::contents(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

bool TestInstallRoot::symlink(const QString &target, const QString &link)
{
    return ::symlink(QFile::encodeName(target).constData(), QFile::encodeName(link).constData())
        == 0;
}

void TestInstallRoot::installsReplaceAndKeepOneToGoBackTo()
{
    QCOMPARE(m_root->currentBuild(), -1);
    install(100);
    QCOMPARE(m_root->currentBuild(), 100);
    QCOMPARE(m_root->previousBuild(), -1);
    QVERIFY(!QFileInfo(m_root->previousLink()).isSymLink());
    QCOMPARE(browserContents(), QStringLiteral("100"));
    // Downloads in progress are private to their user.
    const QFileDevice::Permissions others = QFileDevice::ReadGroup | QFileDevice::WriteGroup
        | QFileDevice::ExeGroup | QFileDevice::ReadOther | QFileDevice::WriteOther
        | QFileDevice::ExeOther;
    QVERIFY(!(QFileInfo(m_staging.front()->path()).permissions() & others));

    install(200);
    install(300);
    QCOMPARE(m_root->currentBuild(), 300);
    QCOMPARE(m_root->previousBuild(), 200);
    // Relative, so the root can move with the user's home.
    QCOMPARE(linkText(m_root->currentLink()), QStringLiteral("versions/300"));
    QCOMPARE(linkText(m_root->previousLink()), QStringLiteral("versions/200"));
    QCOMPARE(browserContents(), QStringLiteral("300"));
    QVERIFY(QFileInfo::exists(m_root->versionPath(100)));

    m_root->removeUnusedVersions(noProcesses());
    TreeRemoval::waitForAll();
    QCOMPARE(QDir(m_root->path() + QStringLiteral("/versions"))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             (QStringList { "200", "300" }));
    // Nothing of the link switching is left lying about.
    QCOMPARE(QDir(m_root->path())
                 .entryList({ QStringLiteral(".link-*") },
                            QDir::AllEntries | QDir::Hidden | QDir::System),
             QStringList());
}

void TestInstallRoot::failedActivationChangesNothing_data()
{
    QTest::addColumn<QString>("sabotage");
    QTest::addColumn<int>("build");
    QTest::newRow("tree missing") << "tree missing" << 300;
    QTest::newRow("the build in use") << QString() << 200;
    QTest::newRow("root read-only") << "root read-only" << 300;
    QTest::newRow("previous is a directory") << "previous is a directory" << 300;
}

void TestInstallRoot::failedActivationChangesNothing()
{
    QFETCH(QString, sabotage);
    QFETCH(int, build);
    install(100);
    install(200);
    if (sabotage == QLatin1String("previous is a directory")) {
        QVERIFY(QFile::remove(m_root->previousLink()));
        QVERIFY(QDir().mkdir(m_root->previousLink()));
    }
    const QString previousBefore = linkText(m_root->previousLink());

    const QString tree = stage(build);
    if (sabotage == QLatin1String("tree missing")) {
        QVERIFY(QDir(tree).removeRecursively());
    } else if (sabotage == QLatin1String("root read-only")) {
        if (::geteuid() == 0)
            QSKIP("Permissions do not bind root.");
        QVERIFY(
            QFile::setPermissions(m_root->path(), QFileDevice::ReadOwner | QFileDevice::ExeOwner));
    }

    QString error;
    QVERIFY(!m_root->activate(build, tree, &error));
    QVERIFY(!error.isEmpty());
    QCOMPARE(linkText(m_root->currentLink()), QStringLiteral("versions/200"));
    QCOMPARE(linkText(m_root->previousLink()), previousBefore);
    QCOMPARE(browserContents(), QStringLiteral("200"));
    QCOMPARE(contents(m_root->versionPath(100) + QStringLiteral("/chrome")), QStringLiteral("100"));
    // The unpacked build is still where it was, not half moved.
    if (sabotage != QLatin1String("tree missing"))
        QCOMPARE(contents(tree + QStringLiteral("/chrome")), QString::number(build));
    if (build != 200)
        QVERIFY(!QFileInfo::exists(m_root->versionPath(build)));
}

void TestInstallRoot::reinstallingAnUnlinkedBuild_data()
{
    QTest::addColumn<int>("build");
    QTest::addColumn<int>("previousAfter");
    // After going back, the newer build is previous; installing it again is routine.
    QTest::newRow("the previous build") << 200 << 100;
    QTest::newRow("a leftover of a failed attempt") << 300 << 100;
}

void TestInstallRoot::reinstallingAnUnlinkedBuild()
{
    QFETCH(int, build);
    QFETCH(int, previousAfter);
    install(100);
    install(200);
    QVERIFY(m_root->goBack());
    QVERIFY(QDir().mkpath(m_root->versionPath(build) + QStringLiteral("/stale")));

    install(build);
    QCOMPARE(m_root->currentBuild(), build);
    QCOMPARE(m_root->previousBuild(), previousAfter);
    QCOMPARE(browserContents(), QString::number(build));
    QVERIFY(!QFileInfo::exists(m_root->versionPath(build) + QStringLiteral("/stale")));

    m_root->removeUnusedVersions(noProcesses());
    TreeRemoval::waitForAll();
    QStringList kept { QString::number(build), QString::number(previousAfter) };
    kept.sort();
    QCOMPARE(QDir(m_root->path() + QStringLiteral("/versions"))
                 .entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             kept);
}

void TestInstallRoot::goBack_data()
{
    QTest::addColumn<int>("installs");
    QTest::addColumn<bool>("previousVanished");
    QTest::addColumn<bool>("succeeds");
    QTest::newRow("swaps") << 2 << false << true;
    QTest::newRow("nothing to go back to") << 1 << false << false;
    QTest::newRow("previous build deleted") << 2 << true << false;
}

void TestInstallRoot::setPrevious_data()
{
    QTest::addColumn<int>("build");
    QTest::addColumn<QString>("refusal"); // empty: going back then leads to the build
    QTest::newRow("a build beside") << 150 << "";
    QTest::newRow("the build before") << 200 << "";
    QTest::newRow("the current build") << 300 << "is current";
    QTest::newRow("not installed") << 999 << "not installed";
    QTest::newRow("a folder without its browser") << 400 << "not installed";
}

void TestInstallRoot::setPrevious()
{
    QFETCH(int, build);
    QFETCH(QString, refusal);
    install(100);
    QVERIFY(m_root->place(150, stage(150)));
    install(200);
    install(300);
    QVERIFY(QDir().mkpath(m_root->versionPath(400)));
    const QString previousBefore = linkText(m_root->previousLink());

    QString error;
    QCOMPARE(m_root->setPrevious(build, &error), refusal.isEmpty());
    if (!refusal.isEmpty()) {
        QVERIFY2(error.contains(refusal), qPrintable(error));
        QCOMPARE(linkText(m_root->previousLink()), previousBefore);
        QCOMPARE(m_root->currentBuild(), 300);
        return;
    }
    QVERIFY(m_root->goBack());
    QCOMPARE(m_root->currentBuild(), build);
    QCOMPARE(m_root->previousBuild(), 300);
}

void TestInstallRoot::rootMayBeALinkToADirectory()
{
    const QString disk = m_dir->filePath(QStringLiteral("other-disk"));
    QVERIFY(QDir().mkpath(disk) && symlink(disk, m_root->path()));
    install(100);
    QVERIFY(QFileInfo::exists(disk + QStringLiteral("/versions/100/chrome")));
    // A link to a file cannot take a build: found out before anything is downloaded.
    InstallRoot file(m_dir->filePath(QStringLiteral("file-root")));
    QVERIFY(symlink(m_root->browserPath(), file.path()) && !file.createStagingDir());
}

void TestInstallRoot::lockKeepsLiveSessionsFromTheSweep()
{
    int sweeps = 0;
    const auto sweep = [&sweeps] { ++sweeps; };
    auto first = std::make_unique<RootLock>(m_root->path());
    RootLock second(m_root->path());
    QVERIFY(first->sweepIfAlone(sweep) && !second.sweepIfAlone(sweep));
    first.reset();
    // The second session still runs.
    QVERIFY(!RootLock(m_root->path()).sweepIfAlone(sweep));
    QCOMPARE(sweeps, 1);
}

void TestInstallRoot::lockHeldAloneElsewhereDoesNotHoldTheStartUp()
{
    QVERIFY(QDir().mkpath(m_root->path()));
    QProcess holder;
    holder.start(QStringLiteral("sh"),
                 { QStringLiteral("-c"), R"(exec 9>"$0/.lock" && flock 9 && echo && exec sleep 60)",
                   m_root->path() });
    QVERIFY(holder.waitForReadyRead(10000));
    QElapsedTimer clock;
    clock.start();
    QVERIFY(!RootLock(m_root->path()).sweepIfAlone([] { QFAIL("swept under another's lock"); }));
    QVERIFY2(clock.elapsed() < 1000, qPrintable(QString::number(clock.elapsed())));
}

void TestInstallRoot::versionCheckEndsItsWholeGroup()
{
    // Exits 0 at once, leaving a child in its group.
    const QString pidFile = m_dir->filePath(QStringLiteral("child.pid"));
    QList<ArchiveBuilder::Entry> tree = ArchiveBuilder::chromeTree();
    tree[1].data = "#!/bin/sh\nsleep 600 >/dev/null 2>&1 &\necho $! > '"
        + QFile::encodeName(pidFile) + "'\necho Chromium\n";
    std::unique_ptr<QTemporaryDir> staging = m_root->createStagingDir();
    const QString archive = staging->filePath(QStringLiteral("build.zip"));
    QVERIFY(ArchiveBuilder::writeZip(archive, tree));
    ArchiveInstaller installer(*m_root);
    QSignalSpy finished(&installer, &ArchiveInstaller::finished);
    installer.install(100, archive, std::move(staging));
    QVERIFY(finished.wait(20000) && finished.first().first().toBool());
    QFile pid(pidFile);
    QVERIFY(pid.open(QIODevice::ReadOnly));
    // Gone, or a zombie, which has no executable any more.
    const QString exe = QStringLiteral("/proc/%1/exe").arg(pid.readAll().trimmed());
    QTRY_VERIFY(!QFileInfo::exists(exe));
}

void TestInstallRoot::goBack()
{
    QFETCH(int, installs);
    QFETCH(bool, previousVanished);
    QFETCH(bool, succeeds);
    for (int build = 1; build <= installs; ++build)
        install(build * 100);
    if (previousVanished)
        QVERIFY(QDir(m_root->versionPath(100)).removeRecursively());
    const QString currentBefore = linkText(m_root->currentLink());
    const QString previousBefore = linkText(m_root->previousLink());

    QString error;
    QCOMPARE(m_root->goBack(&error), succeeds);
    if (!succeeds) {
        QVERIFY(!error.isEmpty());
        QCOMPARE(linkText(m_root->currentLink()), currentBefore);
        QCOMPARE(linkText(m_root->previousLink()), previousBefore);
        return;
    }
    QCOMPARE(linkText(m_root->currentLink()), previousBefore);
    QCOMPARE(linkText(m_root->previousLink()), currentBefore);
    QCOMPARE(browserContents(), QStringLiteral("100"));
    QVERIFY(m_root->goBack());
    QCOMPARE(m_root->currentBuild(), 200);
    QCOMPARE(m_root->previousBuild(), 100);
}

void TestInstallRoot::keepsAVersionAProcessRunsFrom()
{
    install(100);
    install(200);
    install(300);
    // A planted link inside an unused version: removing the version must not follow it.
    const QString outside = m_dir->filePath(QStringLiteral("outside"));
    QVERIFY(QDir().mkpath(outside));
    QFile keepMe(outside + QStringLiteral("/keep"));
    QVERIFY(keepMe.open(QIODevice::WriteOnly));
    keepMe.close();
    QVERIFY(symlink(outside, m_root->versionPath(100) + QStringLiteral("/planted")));

    // A browser started before two updates still runs from build 100.
    const QString proc = m_dir->filePath(QStringLiteral("proc"));
    QVERIFY(QDir().mkpath(proc + QStringLiteral("/4242")));
    QVERIFY(QDir().mkpath(proc + QStringLiteral("/self")));
    const QString running
        = QFileInfo(m_root->versionPath(100)).canonicalFilePath() + QStringLiteral("/chrome");
    QVERIFY(symlink(running, proc + QStringLiteral("/4242/exe")));

    m_root->removeUnusedVersions(proc);
    QVERIFY(QFileInfo::exists(m_root->versionPath(100) + QStringLiteral("/chrome")));

    QVERIFY(QDir(proc + QStringLiteral("/4242")).removeRecursively());
    m_root->removeUnusedVersions(proc);
    QVERIFY(!QFileInfo::exists(m_root->versionPath(100)));
    TreeRemoval::waitForAll();
    QVERIFY(QFileInfo::exists(outside + QStringLiteral("/keep")));
    QCOMPARE(m_root->currentBuild(), 300);
    QCOMPARE(m_root->previousBuild(), 200);
}

void TestInstallRoot::retention_data()
{
    QTest::addColumn<QList<int>>("installed");
    QTest::addColumn<int>("current");
    QTest::addColumn<int>("previous");
    QTest::addColumn<QList<int>>("pinned");
    QTest::addColumn<QList<int>>("inUse");
    QTest::addColumn<int>("keep");
    QTest::addColumn<QList<int>>("removed");

    const QList<int> five { 100, 200, 300, 400, 500 };
    const QList<int> none;
    QTest::newRow("current and previous, as ever")
        << five << 500 << 400 << none << none << 2 << QList<int> { 100, 200, 300 };
    QTest::newRow("went back: the newer one stays")
        << five << 400 << 500 << none << none << 2 << QList<int> { 100, 200, 300 };
    QTest::newRow("keep three: the newest next")
        << five << 500 << 200 << none << none << 3 << QList<int> { 100, 300 };
    QTest::newRow("pins do not count")
        << five << 500 << 400 << QList<int> { 100, 300 } << none << 2 << QList<int> { 200 };
    QTest::newRow("in use does not count")
        << five << 500 << 400 << none << QList<int> { 200 } << 2 << QList<int> { 100, 300 };
    QTest::newRow("a pinned current does not count")
        << five << 500 << 400 << QList<int> { 500 } << none << 2 << QList<int> { 100, 200 };
    QTest::newRow("a current in use does not count")
        << five << 500 << 400 << none << QList<int> { 500 } << 1 << QList<int> { 100, 200, 300 };
    QTest::newRow("zero keeps current")
        << five << 300 << -1 << none << none << 0 << QList<int> { 100, 200, 400, 500 };
    QTest::newRow("no current: the newest")
        << five << -1 << -1 << none << none << 2 << QList<int> { 100, 200, 300 };
}

void TestInstallRoot::retention()
{
    QFETCH(QList<int>, installed);
    QFETCH(int, current);
    QFETCH(int, previous);
    QFETCH(QList<int>, pinned);
    QFETCH(QList<int>, inUse);
    QFETCH(int, keep);
    QFETCH(QList<int>, removed);
    QCOMPARE(BuildRetention::toRemove({ installed, current, previous, pinned, inUse }, keep),
             removed);
}

void TestInstallRoot::pinsOutliveKeepBuildsAndRemovalRefuses()
{
    Config::set(Config::KeepBuilds, 1);
    QCOMPARE(BuildPins::setPinned(200, true), QString());
    for (const int build : { 100, 200, 300, 400 })
        install(build);
    // A browser still runs from build 300.
    const QString proc = m_dir->filePath(QStringLiteral("proc"));
    QVERIFY(QDir().mkpath(proc + QStringLiteral("/4242")));
    QVERIFY(
        symlink(QFileInfo(m_root->versionPath(300)).canonicalFilePath() + QStringLiteral("/chrome"),
                proc + QStringLiteral("/4242/exe")));
    m_root->removeUnusedVersions(proc);
    TreeRemoval::waitForAll();
    const KeptVersions kept(*m_root, proc);
    QCOMPARE(kept.installed(), (QList<int> { 200, 300, 400 }));
    QCOMPARE(m_root->previousBuild(), 300);

    QString error;
    QVERIFY(!kept.remove(400, &error));
    QVERIFY2(error.contains("is current"), qPrintable(error));
    QVERIFY(!kept.remove(300, &error));
    QVERIFY2(error.contains("in use"), qPrintable(error));
    QVERIFY(kept.remove(200, &error));
    TreeRemoval::waitForAll();
    QCOMPARE(kept.installed(), (QList<int> { 300, 400 }));
    QCOMPARE(BuildPins::pinned(), QList<int>());
    Config::remove(Config::KeepBuilds);
}

void TestInstallRoot::buildListShowsMarksAndSizes()
{
    install(100);
    install(200);
    QCOMPARE(BuildPins::setPinned(100, true), QString());
    BuildListModel list;
    list.setRoot(*m_root, noProcesses());
    QSignalSpy sized(&list, &BuildListModel::sizesKnown);
    list.refresh();
    QCOMPARE(list.count(), 2);
    const auto at
        = [&list](int row, BuildListModel::Role role) { return list.data(list.index(row), role); };
    QCOMPARE(at(0, BuildListModel::NumberRole).toInt(), 200);
    QCOMPARE(at(0, BuildListModel::CurrentRole).toBool(), true);
    QCOMPARE(at(1, BuildListModel::PinnedRole).toBool(), true);
    QVERIFY(sized.wait(10000));
    QVERIFY(at(1, BuildListModel::SizeRole).toLongLong() > 0);
    QCOMPARE(list.setPinned(100, false), QString());
    QCOMPARE(at(1, BuildListModel::PinnedRole).toBool(), false);
}

void TestInstallRoot::removesLeftoverStagingOnly()
{
    install(100);
    std::unique_ptr<QTemporaryDir> leftover = m_root->createStagingDir();
    leftover->setAutoRemove(false);
    // Unpacked archives may carry directories their owner cannot write to.
    const QString locked = leftover->filePath(QStringLiteral("locked"));
    QVERIFY(QDir().mkpath(locked + QStringLiteral("/inner")));
    QVERIFY(QFile::setPermissions(locked, QFileDevice::ReadOwner | QFileDevice::ExeOwner));

    const QString elsewhere = m_dir->filePath(QStringLiteral("elsewhere"));
    QVERIFY(QDir().mkpath(elsewhere + QStringLiteral("/inner")));
    QVERIFY(symlink(elsewhere, m_root->path() + QStringLiteral("/.staging-planted")));
    // A link switch a crash interrupted.
    QVERIFY(symlink(QStringLiteral("versions/100"), m_root->path() + QStringLiteral("/.link-x")));
    // Named like neither: not the program's to remove.
    const QString unlike = m_root->path() + QStringLiteral("/.staging");
    QVERIFY(QDir().mkpath(unlike));
    // A broken download's part, kept with its record for the next attempt.
    std::unique_ptr<QTemporaryDir> resumable = m_root->createStagingDir();
    resumable->setAutoRemove(false);
    QVERIFY(QFile(resumable->filePath(InstallRoot::resumeRecord())).open(QIODevice::WriteOnly));
    // Tree removals a kill cut short, beside the kept part and among the versions.
    const QStringList cut { resumable->filePath(TreeRemoval::prefix + QStringLiteral("a/tree")),
                            m_root->path() + QStringLiteral("/versions/") + TreeRemoval::prefix
                                + QStringLiteral("b/chrome") };
    for (const QString &tree : cut)
        QVERIFY(QDir().mkpath(tree));
    QVERIFY(symlink(elsewhere,
                    m_root->path() + QLatin1Char('/') + TreeRemoval::prefix
                        + QStringLiteral("planted")));

    m_root->removeLeftoverStaging();
    TreeRemoval::waitForAll();
    QVERIFY(!QFileInfo::exists(leftover->path()));
    for (const QString &tree : cut)
        QVERIFY2(!QFileInfo::exists(QFileInfo(tree).path()), qPrintable(tree));
    QCOMPARE(QDir(m_root->path())
                 .entryList({ TreeRemoval::prefix + QStringLiteral("*") },
                            QDir::AllEntries | QDir::Hidden),
             QStringList());
    QVERIFY(QFileInfo::exists(resumable->filePath(InstallRoot::resumeRecord())));
    QVERIFY(!QFileInfo(m_root->path() + QStringLiteral("/.link-x")).isSymLink());
    QVERIFY(QFileInfo(m_root->path() + QStringLiteral("/.staging-planted")).isSymLink());
    QVERIFY(QFileInfo::exists(elsewhere + QStringLiteral("/inner")));
    QVERIFY(QFileInfo::exists(unlike));
    QCOMPARE(m_root->currentBuild(), 100);
    QCOMPARE(browserContents(), QStringLiteral("100"));
}

void TestInstallRoot::sandboxHelper_data()
{
    QTest::addColumn<QString>("browser");
    QTest::addColumn<QString>("fault");
    QTest::addColumn<QString>("message");
    const auto row = [](const char *name, const char *browser, const char *fault, const char *why) {
        QTest::newRow(name) << QString(browser) << QString(fault) << QString(why);
    };
    row("this user's build", "100/chrome", "", "");
    // The program hands the helper the real path, as the helper refuses links.
    row("the build in use, through its link", "../current/chrome", "", "");
    row("not a build's browser", "100/libfoo.so", "", "is not a versions/");
    row("a link out of the root", "100/chrome", "link", "is not a versions/");
    row("another user's root", "100/chrome", "owner", "does not belong");
    row("the parser refuses", "100/chrome", "parser", "could not load");
    row("a bisect's build, over an older profile", "../bisect-cache/7/chrome", "old", "");
}

void TestInstallRoot::sandboxHelper()
{
    QFETCH(QString, browser);
    QFETCH(QString, fault);
    QFETCH(QString, message);
    install(100);
    const QString build = m_root->versionPath(100) + QLatin1Char('/');
    QVERIFY(QFile(build + QStringLiteral("libfoo.so")).open(QIODevice::WriteOnly));
    if (fault == QLatin1String("link"))
        QVERIFY(QFile::remove(build + "chrome")
                && symlink(QStringLiteral("/bin/sh"), build + "chrome"));
    if (fault == QLatin1String("owner")
        && ::chown(QFile::encodeName(m_root->path()), 12345, 0) != 0)
        QSKIP("Needs root to give the root to another user");
    const QString profile = m_dir->filePath(QStringLiteral("tarrowin-chromium-%1").arg(::getuid()));
    const QString record = m_dir->filePath(QStringLiteral("parser-arguments"));
    const QString step = m_root->path() + QStringLiteral("/bisect-cache/7/chrome");
    QVERIFY(QDir().mkpath(QFileInfo(step).path()) && QFile(step).open(QIODevice::WriteOnly));
    const QString real = QFileInfo(m_root->path()).canonicalFilePath();
    QFile old(profile);
    const QString line = QStringLiteral("profile tarrowin-chromium-%1 %2/versions/*/chrome {\n");
    // What helpers wrote before bisects serves the installed builds still, not a bisect's.
    QVERIFY(fault != QLatin1String("old")
            || (old.open(QIODevice::WriteOnly) && old.write(line.arg(::getuid()).arg(real).toUtf8())
                && old.flush() && SandboxProfile::covers(m_dir->path(), ::getuid(), real)
                && !SandboxProfile::covers(m_dir->path(), ::getuid(), real,
                                           SandboxProfile::Folder::BisectCache)));
    const QByteArray fakes = TARROWIN_TEST_SUPPORT_DIR "/fakepkexec";
    qputenv("PATH", fakes + ':' + qgetenv("PATH"));
    qputenv("TARROWIN_APPARMOR_DIR", QFile::encodeName(m_dir->path()));
    qputenv("TARROWIN_APPARMOR_PARSER", fakes + "/apparmor_parser");
    qputenv("FAKE_PARSER_RECORD", QFile::encodeName(record));
    qputenv("FAKE_PARSER_EXIT", fault == QLatin1String("parser") ? "1" : "0");

    SandboxPermission permission;
    permission.setHelper(QStringLiteral(TARROWIN_SANDBOX_HELPER));
    permission.setProfileDirectory(m_dir->path());
    QSignalSpy done(&permission, &SandboxPermission::finished);
    permission.allow(m_root->path() + QStringLiteral("/versions/") + browser);
    QVERIFY(done.wait(10000));
    QCOMPARE(done.first().at(0).toBool(), message.isEmpty());
    QVERIFY(done.first().at(1).toString().contains(message));
    QCOMPARE(QFile::exists(profile), message.isEmpty());
    if (!message.isEmpty())
        return;
    QCOMPARE(contents(record).trimmed(), QStringLiteral("-r ") + profile);
    QVERIFY(contents(profile).contains(
        QStringLiteral(
            "profile tarrowin-chromium-%1 %2/{versions,bisect-cache}/*/chrome flags=(unconfined) "
            "{\n  userns,")
            .arg(::getuid())
            .arg(real)));
    // The real parser reads it where it knows the userns rule (AppArmor 4, not Debian 12's 3).
    const QString parser
        = QStandardPaths::findExecutable("apparmor_parser", { "/usr/sbin", "/sbin" });
    if (parser.isEmpty() || !QFileInfo::exists(QStringLiteral("/etc/apparmor.d/abi/4.0")))
        QSKIP("No apparmor_parser here that knows the userns rule");
    QProcess check;
    check.start(parser, { QStringLiteral("-Q"), QStringLiteral("-K"), profile });
    QVERIFY(check.waitForFinished(30000) && check.exitCode() == 0);
}

void TestInstallRoot::userNamespacesBlocked_data()
{
    // A null value: the file does not exist, as on kernels without that switch.
    QTest::addColumn<QByteArray>("apparmorRestrict");
    QTest::addColumn<QByteArray>("usernsClone");
    QTest::addColumn<QByteArray>("maxUserNamespaces");
    QTest::addColumn<int>("restriction");
    using S = SandboxCheck::Restriction;
    QTest::newRow("no switches") << QByteArray() << QByteArray() << QByteArray() << int(S::None);
    QTest::newRow("Ubuntu restricts")
        << QByteArray("1\n") << QByteArray() << QByteArray("63704\n") << int(S::AppArmor);
    QTest::newRow("Ubuntu allows")
        << QByteArray("0\n") << QByteArray() << QByteArray("63704\n") << int(S::None);
    QTest::newRow("Debian clone off")
        << QByteArray() << QByteArray("0\n") << QByteArray() << int(S::UsernsClone);
    QTest::newRow("Debian clone on")
        << QByteArray() << QByteArray(" 1 \n") << QByteArray() << int(S::None);
    QTest::newRow("no namespaces at all")
        << QByteArray("0") << QByteArray("1") << QByteArray("0\n") << int(S::MaxUserNamespaces);
    // A profile cannot lift the kernel's own switches: they are named first.
    QTest::newRow("AppArmor and no namespaces")
        << QByteArray("1") << QByteArray() << QByteArray("0") << int(S::MaxUserNamespaces);
}

void TestInstallRoot::userNamespacesBlocked()
{
    QFETCH(QByteArray, apparmorRestrict);
    QFETCH(QByteArray, usernsClone);
    QFETCH(QByteArray, maxUserNamespaces);
    QFETCH(int, restriction);
    const QString kernel = m_dir->filePath(QStringLiteral("kernel"));
    const QString user = m_dir->filePath(QStringLiteral("user"));
    QVERIFY(QDir().mkpath(kernel) && QDir().mkpath(user));
    const auto write = [](const QString &path, const QByteArray &value) {
        QFile file(path);
        return value.isNull()
            || (file.open(QIODevice::WriteOnly) && file.write(value) == value.size());
    };
    QVERIFY(
        write(kernel + QStringLiteral("/apparmor_restrict_unprivileged_userns"), apparmorRestrict));
    QVERIFY(write(kernel + QStringLiteral("/unprivileged_userns_clone"), usernsClone));
    QVERIFY(write(user + QStringLiteral("/max_user_namespaces"), maxUserNamespaces));
    QCOMPARE(int(SandboxCheck::restriction(kernel, user)), restriction);
    QCOMPARE(SandboxCheck::userNamespacesBlocked(kernel, user), restriction != 0);
}

TARROWIN_TEST_MAIN(TestInstallRoot, false)
#include "tst_installroot.moc"

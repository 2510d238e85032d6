#include "browser/browserlauncher.h"
#include "browser/browserrelaunch.h"
#include "browser/menuentry.h"
#include "browser/profilesnapshots.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QSysInfo>
#include <QTemporaryDir>

#include <csignal>
#include <sys/stat.h>

// The launcher and the relaunch, run against the fake browser installed as builds 1 and 2.
class TestBrowserLauncher : public QObject
{
    Q_OBJECT

public:
    explicit TestBrowserLauncher(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void startsCurrentBuildWithItsOwnProfile_data();
    void startsCurrentBuildWithItsOwnProfile();
    void relaunchIntoTheCurrentBuild_data();
    void relaunchIntoTheCurrentBuild();
    void profileHeldOnlyByItsBrowser_data();
    void profileHeldOnlyByItsBrowser();
    void newerMilestoneIsSnapshottedBeforeItStarts();
    void desktopIntegration_data();
    void desktopIntegration();
    void unchangedFilesAreNotRewritten();

private:
    // A fresh root and profile below the test's temporary folder, build 1 (Chromium 120)
    // current, build 2 Chromium 121; without a name, the profile is the one "BrowserProfile"
    // gives, the root the program's own.
    bool install(const QString &rootName, const QString &profileName);
    // Runs the launcher, with the fake browser exiting at once.
    bool launch(const QStringList &arguments = QStringList()) const;
    QString lastStart() const;

    TestEnvironment &m_environment;
    std::optional<InstallRoot> m_root;
    QString m_profile;
};

bool TestBrowserLauncher::install(const QString &rootName, const QString &profileName)
{
    const QDir base(m_environment.tempDir());
    QDir(base.filePath(rootName)).removeRecursively();
    m_root.emplace(rootName.isEmpty() ? InstallRoot::defaultPath() : base.filePath(rootName));
    QDir(m_root->path()).removeRecursively();
    m_profile = profileName.isEmpty() ? BrowserLauncher::profile() : base.filePath(profileName);
    QDir(m_profile).removeRecursively();
    for (const int build : { 1, 2 }) {
        const QByteArray version = QByteArray::number(119 + build) + ".0.1.0";
        QFile record(m_root->versionPath(build) + "/.tarrowin-version");
        QFile fake(m_root->versionPath(build) + "/fake-version");
        if (!QDir().mkpath(m_root->versionPath(build))
            || !QFile::copy(TARROWIN_FAKE_BROWSER, m_root->versionPath(build) + "/chrome")
            || !record.open(QIODevice::WriteOnly) || !record.write("Chromium " + version)
            || !fake.open(QIODevice::WriteOnly) || !fake.write(version))
            return false;
    }
    return QFile::link("versions/1", m_root->currentLink()) && QDir().mkpath(m_profile)
        && BrowserLauncher::install(*m_root, m_profile, QString(), TARROWIN_UNDER_TEST);
}

bool TestBrowserLauncher::launch(const QStringList &arguments) const
{
    QProcess launcher;
    launcher.setWorkingDirectory(m_environment.tempDir());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("FAKEBROWSER_EXIT", "1");
    launcher.setProcessEnvironment(environment);
    launcher.start(BrowserLauncher::path(*m_root), arguments);
    return launcher.waitForFinished(10000) && launcher.readAllStandardError().isEmpty()
        && launcher.exitCode() == 0;
}

QString TestBrowserLauncher::lastStart() const
{
    QFile record(m_profile + "/fakebrowser.record");
    return record.open(QIODevice::ReadOnly)
        ? QString::fromLocal8Bit(record.readAll()).split("start\n").last()
        : QString();
}

void TestBrowserLauncher::startsCurrentBuildWithItsOwnProfile_data()
{
    QTest::addColumn<QString>("rootName");
    QTest::addColumn<QString>("profileName");
    QTest::addColumn<QStringList>("arguments");
    // What the launcher is handed to start another build than current, and the one it starts.
    QTest::addColumn<QByteArray>("launchBuild");
    QTest::addColumn<int>("startedBuild");

    QTest::newRow("plain") << "root"
                           << "profile" << QStringList() << QByteArray() << 1;
    // Whatever a desktop or a web-app shortcut hands over reaches the browser as it was.
    QTest::newRow("arguments pass through")
        << "root"
        << "profile"
        << QStringList { "--new-window", "https://a.example/?q=1&b=$HOME", "two words", "", "it's",
                         "`id`",         "--profile-directory=Default" }
        << QByteArray() << 1;
    // Paths are data to the shell, never code.
    QTest::newRow("paths with quotes, dollars, line breaks")
        << "root 'a' $(touch pwned)"
        << "it's \"$HOME\" `touch pwned`\nnext" << QStringList { "x" } << QByteArray() << 1;
    QTest::newRow("a build beside current") << "root 'a' $(touch pwned)"
                                            << "profile" << QStringList() << QByteArray("2") << 2;
    // Only a plain number names a build folder.
    QTest::newRow("no plain number starts current")
        << "root"
        << "profile" << QStringList() << QByteArray("../versions/2") << 1;
}

void TestBrowserLauncher::startsCurrentBuildWithItsOwnProfile()
{
    QFETCH(QString, rootName);
    QFETCH(QString, profileName);
    QFETCH(QStringList, arguments);
    QFETCH(QByteArray, launchBuild);
    QFETCH(int, startedBuild);
    QVERIFY(install(rootName, profileName));
    qputenv(BrowserLauncher::buildVariable, launchBuild);
    const auto unset = qScopeGuard([] { qunsetenv(BrowserLauncher::buildVariable); });
    if (profileName.isEmpty())
        QCOMPARE(m_profile, m_environment.configHome() + "/tarrowin-chromium");
    QVERIFY(launch(arguments));

    QStringList expected { "arg --user-data-dir=" + m_profile };
    for (const QString &argument : arguments)
        expected << "arg " + argument;
    expected << "CHROME_WRAPPER " + BrowserLauncher::path(*m_root)
             << "CHROME_DESKTOP tarrowin-chromium.desktop"
             << "exe "
            + QFileInfo(m_root->versionPath(startedBuild) + "/chrome").canonicalFilePath()
             << QString();
    QCOMPARE(lastStart(), expected.join('\n'));
    QVERIFY(QFile::exists(m_profile + "/Last Version"));
    QVERIFY(!QFile::exists(m_environment.tempDir() + "/pwned"));
    QVERIFY(!QFile::exists(m_environment.configHome() + "/chromium"));
}

void TestBrowserLauncher::relaunchIntoTheCurrentBuild_data()
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

void TestBrowserLauncher::relaunchIntoTheCurrentBuild()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, stays);
    QFETCH(bool, outdated);
    QVERIFY(install("root", QString())); // the relaunch finds the browser by its profile
    // Qt settings and test seams meant for the program alone.
    qputenv("QT_SCALE_FACTOR", "2");
    qputenv("TARROWIN_TEST_MAKER", "http://127.0.0.1:9");
    const auto restore
        = qScopeGuard([] { qunsetenv("QT_SCALE_FACTOR"), qunsetenv("TARROWIN_TEST_MAKER"); });
    if (stays)
        QVERIFY(QFile(m_profile + "/stay").open(QIODevice::WriteOnly));
    QProcess old;
    old.start(BrowserLauncher::path(*m_root), arguments);
    QTRY_VERIFY(QFileInfo(m_profile + "/SingletonLock").isSymLink());
    // The old build's browser on a profile of its own is not the relaunch's to end.
    const QTemporaryDir elsewhere;
    QProcess other;
    other.start(m_root->versionPath(1) + "/chrome", { "--user-data-dir=" + elsewhere.path() });
    const auto stopOther = qScopeGuard([&other] { other.kill(), other.waitForFinished(); });
    QTRY_VERIFY(QFileInfo(elsewhere.filePath("SingletonLock")).isSymLink());
    BrowserRelaunch relaunch(*m_root);
    relaunch.refresh();
    QVERIFY(!relaunch.outdated());
    QVERIFY(QFile::remove(m_root->currentLink()));
    QVERIFY(QFile::link("versions/2", m_root->currentLink()));
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
    // Asked as a person quits, the browser alone: neither its helpers nor another browser.
    QFile signalled(m_profile + "/fakebrowser.signals");
    QCOMPARE(signalled.open(QIODevice::ReadOnly) ? signalled.readAll() : "",
             outdated ? "browser INT\n" : "");
    QVERIFY(!QFile::exists(elsewhere.filePath("fakebrowser.signals")));
    // The new build runs with the session restored, or else the old one runs on.
    const bool relaunched = outdated && !stays;
    QTRY_VERIFY(QFileInfo(m_profile + "/SingletonLock").isSymLink());
    QCOMPARE(lastStart().contains("\narg --restore-last-session\n"), relaunched);
    QVERIFY2(lastStart().endsWith(
                 QStringLiteral("\nexe %1/chrome\n")
                     .arg(QFileInfo(m_root->versionPath(relaunched ? 2 : 1)).canonicalFilePath())),
             qPrintable(lastStart()));
    const QString owner = QFile::symLinkTarget(m_profile + "/SingletonLock");
    // In the session's environment, without the program's own settings.
    QFile environment("/proc/" + owner.section('-', -1) + "/environ");
    QVERIFY(environment.open(QIODevice::ReadOnly));
    const QByteArrayList variables = environment.readAll().split('\0');
    QVERIFY(variables.contains("HOME=" + qgetenv("HOME")));
    for (const QString variable : variables)
        QVERIFY2(!relaunched || !variable.contains(QRegularExpression("^(QT|QSG|QML|TARROWIN)_")),
                 qPrintable(variable));
    ::kill(pid_t(owner.section('-', -1).toInt()), SIGKILL);
    old.kill();
    old.waitForFinished(5000);
}

void TestBrowserLauncher::profileHeldOnlyByItsBrowser_data()
{
    QTest::addColumn<QString>("owner");
    QTest::addColumn<bool>("held");
    QTest::newRow("its browser") << "--no-first-run" << true;
    // What a browser ended by SIGTERM or a crash leaves behind: Linux gives no pid above 2^22.
    QTest::newRow("process gone") << "4194305" << false;
    QTest::newRow("pid of another program (this test)") << "program" << false;
    QTest::newRow("pid of a helper") << "--type=renderer" << false;
    // Chromium itself does not start on a profile whose lock is no link.
    QTest::newRow("not a link") << "file" << true;
}

void TestBrowserLauncher::profileHeldOnlyByItsBrowser()
{
    QFETCH(QString, owner);
    QFETCH(bool, held);
    QVERIFY(install("root", "profile") && launch());
    const QTemporaryDir elsewhere;
    QProcess process;
    const auto stop = qScopeGuard([&process] { process.kill(), process.waitForFinished(); });
    qint64 pid = owner == "program" ? QCoreApplication::applicationPid() : owner.toLongLong();
    if (owner.startsWith("--")) {
        process.start(m_root->versionPath(1) + "/chrome",
                      { owner, "--user-data-dir=" + elsewhere.path() });
        // A helper says when it runs as one.
        QVERIFY(process.waitForStarted()
                && (owner != "--type=renderer" || process.waitForReadyRead(10000)));
        pid = process.processId();
    }
    const QString lock = m_profile + "/SingletonLock";
    QVERIFY(owner == "file"
                ? QFile(lock).open(QIODevice::WriteOnly)
                : QFile::link(QSysInfo::machineHostName() + '-' + QString::number(pid), lock));
    QCOMPARE(ProfileSnapshots(*m_root, m_profile).take(), !held);
    // A lock left behind is Chromium's to replace.
    QVERIFY(QFileInfo(lock).isSymLink() || QFileInfo(lock).isFile());
}

void TestBrowserLauncher::newerMilestoneIsSnapshottedBeforeItStarts()
{
    // The launcher asks the program, which knows its own root only.
    QVERIFY(install(QString(), "profile"));
    QVERIFY(launch());
    const ProfileSnapshots snapshots(*m_root, m_profile);
    QVERIFY(snapshots.milestones().isEmpty());
    QVERIFY(QDir().mkpath(m_profile + "/Default"));
    QVERIFY(QFile(m_profile + "/Default/Preferences").open(QIODevice::WriteOnly));
    QVERIFY(QFile::remove(m_root->currentLink()));
    QVERIFY(QFile::link("versions/2", m_root->currentLink()));
    QVERIFY(launch());
    QCOMPARE(snapshots.milestones(), QList<int> { 120 });
    QVERIFY(
        lastStart().endsWith(QFileInfo(m_root->versionPath(2)).canonicalFilePath() + "/chrome\n"));
    // A restore cut short is undone before the browser starts, though `Last Version` is current.
    QVERIFY(snapshots.restore(120));
    QFile journal(m_profile + "/.tarrowin-journal");
    QVERIFY(journal.open(QIODevice::WriteOnly));
    journal.write(QDir(snapshots.directory()).entryList({ "kept-*" }).value(0).toLatin1());
    journal.close();
    QVERIFY(QFile::remove(m_root->currentLink()));
    QVERIFY(QFile::link("versions/1", m_root->currentLink()));
    QVERIFY(launch());
    QVERIFY(!journal.exists());
}

void TestBrowserLauncher::desktopIntegration_data()
{
    // Run as the browser's CHROME_WRAPPER, as a web app's shortcut names it.
    QTest::addColumn<QStringList>("arguments");
    // Whether the build it was made from is switched from and pruned before.
    QTest::addColumn<bool>("pruned");
    QTest::newRow("web-app shortcut, its build pruned") << QStringList { "--app-id=abc" } << true;
    // The browser registers the desktop file CHROME_DESKTOP names: the menu entry's.
    QTest::newRow("made the default browser") << QStringList { "--make-default-browser" } << false;
}

void TestBrowserLauncher::desktopIntegration()
{
    QFETCH(QStringList, arguments);
    QFETCH(bool, pruned);
    if (!pruned && QStandardPaths::findExecutable("xdg-settings").isEmpty())
        QSKIP("xdg-settings (xdg-utils) is not installed");
    QVERIFY(install("root", "profile"));
    QVERIFY(launch());
    const QString wrapper = lastStart().section("CHROME_WRAPPER ", 1).section('\n', 0, 0);
    if (pruned) {
        QVERIFY(QFile::remove(m_root->currentLink()));
        QVERIFY(QFile::link("versions/2", m_root->currentLink()));
        QVERIFY(QDir(m_root->versionPath(1)).removeRecursively());
    }
    // As a desktop with no settings of its own for the default browser runs it.
    QProcess started;
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("FAKEBROWSER_EXIT", "1");
    environment.insert("HOME", m_environment.tempDir());
    for (const char *desktop : { "XDG_CURRENT_DESKTOP", "DESKTOP_SESSION", "KDE_FULL_SESSION" })
        environment.remove(desktop);
    started.setProcessEnvironment(environment);
    started.start(wrapper, arguments);
    QVERIFY(started.waitForFinished(10000) && started.exitCode() == 0);
    QVERIFY(lastStart().contains("\narg " + arguments.first() + "\n"));
    QVERIFY(lastStart().endsWith(QFileInfo(m_root->versionPath(pruned ? 2 : 1)).canonicalFilePath()
                                 + "/chrome\n"));
    if (pruned)
        return;
    started.start("xdg-settings", { "check", "default-web-browser", "tarrowin-chromium.desktop" });
    QVERIFY(started.waitForFinished(10000));
    QCOMPARE(started.readAll(), "yes\n");
}

// Every start writes both files; one that finds them as it would write them leaves them be.
void TestBrowserLauncher::unchangedFilesAreNotRewritten()
{
    QVERIFY(install("root", "profile"));
    const auto inode = [](const QString &path) {
        struct stat status
        {
        };
        return ::lstat(QFile::encodeName(path).constData(), &status) == 0 ? status.st_ino : 0;
    };
    const QString launcher = BrowserLauncher::path(*m_root);
    const ino_t launcherBefore = inode(launcher);
    const ino_t entryBefore = inode(MenuEntry::desktopFile());
    QVERIFY(launcherBefore && entryBefore);
    QVERIFY(BrowserLauncher::install(*m_root, m_profile, QString(), TARROWIN_UNDER_TEST));
    QCOMPARE(inode(launcher), launcherBefore);
    QCOMPARE(inode(MenuEntry::desktopFile()), entryBefore);
    QVERIFY(BrowserLauncher::install(*m_root, m_profile + "2", QString(), TARROWIN_UNDER_TEST));
    QVERIFY(inode(launcher) != launcherBefore);
    QFile written(launcher);
    QVERIFY(written.open(QIODevice::ReadOnly));
    QVERIFY(written.readAll().contains(QFile::encodeName(m_profile + "2'")));
}

TARROWIN_TEST_MAIN(TestBrowserLauncher, false)
#include "tst_browserlauncher.moc"

#include "install/treeremoval.h"
#include "support/archivebuilder.h"
#include "support/fakeupower.h"
#include "support/loopbackserver.h"
#include "support/notificationserver.h"
#include "support/privatebus.h"
#include "support/programstarter.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QFileInfo>
#include <QHash>
#include <QScopeGuard>
#include <QSettings>

#include <algorithm>
#include <csignal>
#include <sys/stat.h>

namespace {
const char *const lastChangePaths[] = { "/chromium-browser-snapshots/Linux_x64/LAST_CHANGE",
                                        "/chromium-browser-continuous/Win/LAST_CHANGE" };
const QString latestBuild = QStringLiteral("123456");
const QString buildPath
    = QStringLiteral("/chromium-browser-snapshots/Linux_x64/123456/chrome-linux.zip");
const QString versionFilePath = QStringLiteral("/tarrowin/latest_version");
// The build a home starts with.
constexpr int installedBuild = 100;

// chrome --version is the last step of an installation. This one waits there until the file
// named by TARROWIN_TEST_HOLD exists (for a minute at most), after leaving word that it waits.
const QByteArray heldChrome = "#!/bin/sh\n"
                              "if [ \"$1\" = --version ] && [ -n \"$TARROWIN_TEST_HOLD\" ]; then\n"
                              "    : > \"$TARROWIN_TEST_HOLD.waiting\"\n"
                              "    i=0\n"
                              "    while [ ! -e \"$TARROWIN_TEST_HOLD\" ] && [ $i -lt 600 ]; do\n"
                              "        sleep 0.1\n"
                              "        i=$((i + 1))\n"
                              "    done\n"
                              "fi\n"
                              "echo 'Chromium 123.0.0.0 snapshot'\n";

QString installRoot(const ProgramStarter &home)
{
    return home.dataHome() + QStringLiteral("/Quillmarsh/Tarrowin/chromium");
}
} // namespace

// Starts, second starts, signals, kills and the tray menu of the whole program on the suite's
// display. Every run has its own settings, data, temporary and runtime directories. A
// download it begins is answered with a few bytes and then held open, unless a test serves
// the build.
class TestLifecycle : public QObject
{
    Q_OBJECT

public:
    explicit TestLifecycle(TestEnvironment &);

private slots:
    void cleanup();
    void secondStartHandsOverAndQuits();
    void signalEndsTheProgramCleanly_data();
    void signalEndsTheProgramCleanly();
    void nextStartRemovesWhatAKilledRunLeft();
    void rightClickOpensOnlyTheMenu_data();
    void rightClickOpensOnlyTheMenu();
    void openChosenFromTheMenuShowsTheWindow();
    void stopDuringInstallation_data();
    void stopDuringInstallation();
    void twoSessionsOfOneHomeBothInstall();
    void batteryPausesTheDownloadUntilMains();
    void browserStartsThroughTheLauncherAndIsRelaunched();

private:
    // A home with an older build installed, whose runs use this test's server.
    std::unique_ptr<ProgramStarter> makeHome();
    // A tray start in home, once its one icon is in the tray; null when it never gets there.
    static QProcess *startInTray(ProgramStarter &home);
    static QStringList downloadDirectories(const ProgramStarter &home);

    LoopbackServer m_server;
    // Paths answered as set here instead of being held open; cleared after each test.
    QHash<QString, LoopbackServer::Response> m_served;
};

TestLifecycle::TestLifecycle(TestEnvironment &)
{
    LoopbackServer::Response stalled;
    stalled.body = QByteArray(1024 * 1024, 'x');
    stalled.stallAfter = 1024;
    for (const char *path : lastChangePaths)
        m_server.serve(QLatin1String(path), latestBuild.toLatin1());
    // Whatever else is asked for is answered before the server replies.
    connect(&m_server, &LoopbackServer::requested, this, [this, stalled](const QString &path) {
        if (!path.endsWith(QLatin1String("/LAST_CHANGE")))
            m_server.setResponse(path, m_served.value(path, stalled));
    });
}

void TestLifecycle::cleanup()
{
    m_served.clear();
}

std::unique_ptr<ProgramStarter> TestLifecycle::makeHome()
{
    auto home = std::make_unique<ProgramStarter>(QStringLiteral(TARROWIN_UNDER_TEST));
    home->setServer(m_server.url());
    // An older build in use, as on any machine after the first update.
    const QString versions
        = installRoot(*home) + QStringLiteral("/versions/") + QString::number(installedBuild);
    QDir().mkpath(versions);
    QFile::link(QStringLiteral("versions/") + QString::number(installedBuild),
                installRoot(*home) + QStringLiteral("/current"));
    // No balloons about the work: Qt draws its own as top-level windows here, and only the
    // main window is to be counted.
    QDir(home->configHome()).mkdir(QStringLiteral("Quillmarsh"));
    QFile settings(home->settingsFile());
    if (settings.open(QIODevice::WriteOnly))
        settings.write("[General]\nShowNotifications=false\nCurrentBuild="
                       + QByteArray::number(installedBuild) + "\n");
    return home;
}

QProcess *TestLifecycle::startInTray(ProgramStarter &home)
{
    QProcess *program = home.start({ QStringLiteral("/tray") });
    const auto docked = [program] {
        return ProgramStarter::shown(program->processId(), ProgramStarter::TrayIcon).size() == 1;
    };
    return QTest::qWaitFor(docked, 20000) ? program : nullptr;
}

// Where downloads in progress live: an installer in TMPDIR, an archive in the install
// root's staging area.
QStringList TestLifecycle::downloadDirectories(const ProgramStarter &home)
{
    QStringList result;
    const QDir temp(home.tempDir());
    for (const QString &name :
         temp.entryList({ QStringLiteral("tarrowin-*") }, QDir::AllEntries | QDir::NoDotAndDotDot))
        result.append(temp.filePath(name));
    const QDir staging(installRoot(home));
    // Trees on their way out count too: they are gone before the program ends.
    for (const QString &name :
         staging.entryList({ QStringLiteral(".staging-*"), TreeRemoval::prefix + QString('*') },
                           QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        result.append(staging.filePath(name));
    return result;
}

void TestLifecycle::secondStartHandsOverAndQuits()
{
    auto home = makeHome();
    QProcess *first = startInTray(*home);
    QVERIFY2(first, "no icon in the tray");
    const qint64 pid = first->processId();
    QFile settingsFile(home->settingsFile());
    QVERIFY(settingsFile.open(QIODevice::ReadOnly));
    const QByteArray settings = settingsFile.readAll();
    settingsFile.close();

    // A second tray start, as at a second logon: it leaves at once and changes nothing.
    QProcess *tray = home->start({ QStringLiteral("/tray") });
    QVERIFY(tray->waitForFinished(10000));
    QCOMPARE(tray->exitStatus(), QProcess::NormalExit);
    QCOMPARE(tray->exitCode(), 0);
    QVERIFY(settingsFile.open(QIODevice::ReadOnly));
    QCOMPARE(settingsFile.readAll(), settings);
    settingsFile.close();
    QCOMPARE(first->state(), QProcess::Running);
    QCOMPARE(ProgramStarter::shown(pid, ProgramStarter::TrayIcon).size(), 1);
    QVERIFY(ProgramStarter::shown(pid, ProgramStarter::MainWindow).isEmpty());

    // A start by hand brings up the running instance's window instead of its own.
    QProcess *normal = home->start({});
    QVERIFY(normal->waitForFinished(10000));
    QCOMPARE(normal->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(ProgramStarter::shown(pid, ProgramStarter::MainWindow).size(), 1,
                              10000);
    QCOMPARE(ProgramStarter::shown(pid, ProgramStarter::TrayIcon).size(), 1);
    QCOMPARE(first->state(), QProcess::Running);

    QVERIFY(ProgramStarter::stop(first));
    QCOMPARE(first->exitCode(), 0);
}

void TestLifecycle::signalEndsTheProgramCleanly_data()
{
    QTest::addColumn<int>("signal");
    QTest::newRow("SIGTERM") << int(SIGTERM);
    QTest::newRow("SIGINT") << int(SIGINT);
    QTest::newRow("SIGHUP") << int(SIGHUP);
}

void TestLifecycle::signalEndsTheProgramCleanly()
{
    QFETCH(int, signal);
    auto home = makeHome();
    QProcess *program = home->start({ QStringLiteral("/tray") });
    QTRY_COMPARE_WITH_TIMEOUT(downloadDirectories(*home).size(), 1, 20000);

    QCOMPARE(::kill(pid_t(program->processId()), signal), 0);
    QVERIFY(program->waitForFinished(10000));
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), 0);
    QCOMPARE(downloadDirectories(*home), QStringList());
}

void TestLifecycle::nextStartRemovesWhatAKilledRunLeft()
{
    auto home = makeHome();
    QProcess *killed = home->start({ QStringLiteral("/tray") });
    QTRY_COMPARE_WITH_TIMEOUT(downloadDirectories(*home).size(), 1, 20000);
    killed->kill();
    QVERIFY(killed->waitForFinished(10000));
    // Builds that come as an installer download into TMPDIR; a killed run of those leaves
    // this behind.
    const QString installerDirectory = home->tempDir() + QStringLiteral("/tarrowin-Ab12Cd");
    QVERIFY(QDir().mkpath(installerDirectory));
    QVERIFY(QFile(installerDirectory + QStringLiteral("/chromium_installer_1.exe"))
                .open(QIODevice::WriteOnly));
    const QStringList leftovers = downloadDirectories(*home);
    QCOMPARE(leftovers.size(), 2);

    QProcess *next = home->start({ QStringLiteral("/tray") });
    const auto anyLeft = [&] {
        const QStringList now = downloadDirectories(*home);
        return std::any_of(leftovers.begin(), leftovers.end(),
                           [&](const QString &path) { return now.contains(path); });
    };
    QTRY_VERIFY_WITH_TIMEOUT(!anyLeft(), 20000);
    // It runs as the one instance: the dead run's lock did not keep it out.
    QCOMPARE(next->state(), QProcess::Running);
    QVERIFY(ProgramStarter::stop(next));
    QCOMPARE(next->exitCode(), 0);
}

void TestLifecycle::rightClickOpensOnlyTheMenu_data()
{
    QTest::addColumn<bool>("balloon");
    QTest::newRow("quiet") << false;
    // Qt's own balloon takes any press on the icon for a click on the balloon, which opened
    // the window, at (0, 0) after a tray start.
    QTest::newRow("while a balloon shows") << true;
}

void TestLifecycle::rightClickOpensOnlyTheMenu()
{
    QFETCH(bool, balloon);
    if (balloon) {
        LoopbackServer::Response newerVersion; // brings up "Update available"
        newerVersion.body = "99.0.0";
        m_served.insert(versionFilePath, newerVersion);
    }
    auto home = makeHome();
    QProcess *program = startInTray(*home);
    QVERIFY2(program, "no icon in the tray");
    const qint64 pid = program->processId();
    if (balloon)
        QTRY_COMPARE_WITH_TIMEOUT(ProgramStarter::shown(pid, ProgramStarter::Balloon).size(), 1,
                                  20000);

    QVERIFY(ProgramStarter::openTrayMenu(pid));
    QTRY_COMPARE_WITH_TIMEOUT(ProgramStarter::shown(pid, ProgramStarter::Menu).size(), 1, 10000);
    // The menu closing shows the program has handled everything the right-click asked for.
    // It is closed by a click on the empty screen: Escape would hide the window too.
    QVERIFY(ProgramStarter::click(QPoint(300, 900), 1));
    QTRY_VERIFY_WITH_TIMEOUT(ProgramStarter::shown(pid, ProgramStarter::Menu).isEmpty(), 10000);
    QCOMPARE(ProgramStarter::shown(pid, ProgramStarter::MainWindow), QList<QRect>());

    QVERIFY(ProgramStarter::stop(program));
    QCOMPARE(program->exitCode(), 0);
}

void TestLifecycle::openChosenFromTheMenuShowsTheWindow()
{
    auto home = makeHome();
    QProcess *program = startInTray(*home);
    QVERIFY2(program, "no icon in the tray");
    const qint64 pid = program->processId();
    QVERIFY(ProgramStarter::openTrayMenu(pid));
    QTRY_COMPARE_WITH_TIMEOUT(ProgramStarter::shown(pid, ProgramStarter::Menu).size(), 1, 10000);
    QVERIFY(ProgramStarter::pressKey(QStringLiteral("o")));
    // A tray start never placed the window: it appears where a normal start would put it.
    QTRY_COMPARE_WITH_TIMEOUT(ProgramStarter::shown(pid, ProgramStarter::MainWindow),
                              QList<QRect> { ProgramStarter::startupGeometry }, 10000);

    QVERIFY(ProgramStarter::stop(program));
    QCOMPARE(program->exitCode(), 0);
}

void TestLifecycle::stopDuringInstallation_data()
{
    QTest::addColumn<bool>("fromMenu");
    QTest::addColumn<bool>("askedTwice");
    QTest::newRow("tray Exit waits for the installation") << true << false;
    QTest::newRow("SIGTERM waits for the installation") << false << false;
    QTest::newRow("SIGTERM twice quits at once") << false << true;
}

// A signal takes the tray Exit's path: the installation under way may finish, for as long as
// chrome --version is allowed (ArchiveInstaller::defaultVerifyTimeout) after unpacking. A
// second request does not wait.
void TestLifecycle::stopDuringInstallation()
{
    QFETCH(bool, fromMenu);
    QFETCH(bool, askedTwice);
    QList<ArchiveBuilder::Entry> tree = ArchiveBuilder::chromeTree();
    for (ArchiveBuilder::Entry &entry : tree) {
        if (entry.path == QLatin1String("chrome-linux/chrome"))
            entry.data = heldChrome;
    }
    LoopbackServer::Response build;
    build.body = ArchiveBuilder::zip(tree);
    QVERIFY(!build.body.isEmpty());
    m_served.insert(buildPath, build);

    auto home = makeHome();
    const QString hold = home->root() + QStringLiteral("/hold");
    home->setEnvironment(QStringLiteral("TARROWIN_TEST_HOLD"), hold);
    QProcess *program = startInTray(*home);
    QVERIFY2(program, "no icon in the tray");
    const qint64 pid = program->processId();
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(hold + QStringLiteral(".waiting")), 20000);

    if (fromMenu) {
        QVERIFY(ProgramStarter::openTrayMenu(pid));
        QTRY_COMPARE_WITH_TIMEOUT(ProgramStarter::shown(pid, ProgramStarter::Menu).size(), 1,
                                  10000);
        // Exit is the last entry.
        const QRect menu = ProgramStarter::shown(pid, ProgramStarter::Menu).first();
        QVERIFY(ProgramStarter::click(QPoint(menu.center().x(), menu.bottom() - 11), 1));
    } else {
        QCOMPARE(::kill(pid_t(pid), SIGTERM), 0);
    }
    // The window says which build it finishes, where a normal start would have put it.
    QTRY_COMPARE_WITH_TIMEOUT(ProgramStarter::shown(pid, ProgramStarter::MainWindow),
                              QList<QRect> { ProgramStarter::startupGeometry }, 10000);
    QCOMPARE(program->state(), QProcess::Running);

    const QString current = installRoot(*home) + QStringLiteral("/current");
    int expectedBuild = installedBuild;
    if (askedTwice) {
        QCOMPARE(::kill(pid_t(pid), SIGTERM), 0);
        QVERIFY(program->waitForFinished(10000));
    } else {
        QVERIFY(QFile(hold).open(QIODevice::WriteOnly));
        QVERIFY(program->waitForFinished(20000));
        expectedBuild = latestBuild.toInt();
    }
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), 0);
    QCOMPARE(QFileInfo(current).canonicalFilePath(),
             QFileInfo(installRoot(*home) + QStringLiteral("/versions/")
                       + QString::number(expectedBuild))
                 .canonicalFilePath());
    QCOMPARE(QSettings(home->settingsFile(), QSettings::IniFormat)
                 .value(QStringLiteral("CurrentBuild"))
                 .toInt(),
             expectedBuild);
    QCOMPARE(downloadDirectories(*home), QStringList());
}

// Two logins of one user share the home but not the runtime directory: neither takes the
// other's download from under it.
void TestLifecycle::twoSessionsOfOneHomeBothInstall()
{
    QList<ArchiveBuilder::Entry> tree = ArchiveBuilder::chromeTree();
    tree.last().data += QByteArray(2 << 20, 'L');
    LoopbackServer::Response build {
        200, { { "ETag", "\"1\"" } }, ArchiveBuilder::zip(tree, ArchiveBuilder::Compression::Store)
    };
    build.trickleIntervalMs = 100;
    build.trickleBytes = 32 << 10;
    m_served.insert(buildPath, build);
    const int requests = m_server.requestCount(buildPath);
    auto home = makeHome();
    home->start({ QStringLiteral("/tray") });
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount(buildPath), requests + 1, 20000);
    const QString runtime = home->root() + QStringLiteral("/runtime-2");
    QCOMPARE(::mkdir(QFile::encodeName(runtime).constData(), 0700), 0);
    home->setEnvironment(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    home->start({ QStringLiteral("/tray") });
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount(buildPath), requests + 2, 20000);
    // The first session's part is its own: the second asks for the file from its first byte.
    QCOMPARE(m_server.rangeHeaders().at(m_server.requests().lastIndexOf(buildPath)),
             QByteArray("bytes=0-16777215"));
    QTRY_COMPARE_WITH_TIMEOUT(downloadDirectories(*home), QStringList(), 40000);
    QCOMPARE(QFileInfo(installRoot(*home) + QStringLiteral("/current")).symLinkTarget(),
             installRoot(*home) + QStringLiteral("/versions/") + latestBuild);
    QVERIFY(!QSettings(home->settingsFile(), QSettings::IniFormat).contains("FailedBuild"));
}

// On battery at 25 % a running download pauses and keeps its part; back on mains it asks for
// the rest with a Range request, and the build installs.
void TestLifecycle::batteryPausesTheDownloadUntilMains()
{
    QList<ArchiveBuilder::Entry> tree = ArchiveBuilder::chromeTree();
    tree.last().data += QByteArray(2 << 20, 'B');
    LoopbackServer::Response build {
        200, { { "ETag", "\"1\"" } }, ArchiveBuilder::zip(tree, ArchiveBuilder::Compression::Store)
    };
    build.trickleIntervalMs = 100;
    build.trickleBytes = 32 << 10;
    build.ranges = true;
    m_served.insert(buildPath, build);
    m_server.clearRequests();
    auto home = makeHome();
    PrivateBus system(home->root());
    FakeUPower upower(QDBusConnection::connectToBus(system.address(), QStringLiteral("upower")),
                      false, 25);
    QVERIFY(upower.start());
    home->setEnvironment(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"), system.address());
    home->setEnvironment(QStringLiteral("QT_LOGGING_RULES"),
                         QStringLiteral("tarrowin.update.info=true"));
    QProcess *program = home->start({ QStringLiteral("/tray") }, QProcess::MergedChannels);
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount(buildPath), 1, 20000);
    // Some of the archive on disk first, so there is a part to keep: a slow start (a
    // sanitizer's build) would otherwise pause with nothing written yet.
    const auto written = [&home] {
        qint64 bytes = 0;
        for (const QString &folder : downloadDirectories(*home)) {
            QDirIterator it(folder, QDir::Files | QDir::Hidden, QDirIterator::Subdirectories);
            while (it.hasNext())
                bytes += it.nextFileInfo().size();
        }
        return bytes;
    };
    QTRY_VERIFY_WITH_TIMEOUT(written() > 0, 20000);
    upower.setOnBattery(true);
    QByteArray said;
    QTRY_VERIFY_WITH_TIMEOUT((said += program->readAll()).contains("paused with its part kept"),
                             20000);
    upower.setOnBattery(false);
    // The rest of the part; the archive's end, which unpacking asks for, starts past half.
    const auto resumed = [this, size = build.body.size()] {
        const QByteArrayList ranges = m_server.rangeHeaders();
        return std::any_of(ranges.cbegin(), ranges.cend(), [size](const QByteArray &range) {
            const qint64 from = range.mid(6).split('-').value(0).toLongLong();
            return from > 0 && from < size / 2;
        });
    };
    QTRY_VERIFY_WITH_TIMEOUT(resumed(), 20000);
    QTRY_COMPARE_WITH_TIMEOUT(
        QFileInfo(installRoot(*home) + QStringLiteral("/current")).symLinkTarget(),
        installRoot(*home) + QStringLiteral("/versions/") + latestBuild, 40000);
}

// The fake browser is build 100 and the build served. Started by the menu entry, it runs
// from build 100 when 123456 comes in, and is relaunched into that.
void TestLifecycle::browserStartsThroughTheLauncherAndIsRelaunched()
{
    QFile fake(QStringLiteral(TARROWIN_FAKE_BROWSER));
    QVERIFY(fake.open(QIODevice::ReadOnly));
    QList<ArchiveBuilder::Entry> tree = ArchiveBuilder::chromeTree();
    tree[1].data = fake.readAll(); // chrome-linux/chrome
    LoopbackServer::Response held;
    held.body = ArchiveBuilder::zip(tree);
    m_served.insert(buildPath, held);
    held.body = latestBuild.toLatin1();
    held.held = true;
    const QString lastChange = QLatin1String(lastChangePaths[0]);
    m_server.setResponse(lastChange, held);
    const auto unheld = qScopeGuard([&] { m_server.serve(lastChange, held.body); });
    const int checks = m_server.requestCount(lastChange) + 1;

    auto home = makeHome();
    QVERIFY(QFile::copy(fake.fileName(), installRoot(*home) + "/versions/100/chrome"));
    const QString profile = home->configHome() + "/tarrowin-chromium";
    const QString chromium = home->configHome() + "/chromium";
    QVERIFY(QDir().mkpath(chromium) && QFile(chromium + "/Local State").open(QIODevice::WriteOnly));
    QSettings(home->settingsFile(), QSettings::IniFormat).setValue("ShowNotifications", true);
    const PrivateBus bus(home->tempDir());
    const auto disconnect = qScopeGuard([] { QDBusConnection::disconnectFromBus("notices"); });
    NotificationServer notices(QDBusConnection::connectToBus(bus.address(), "notices"));
    home->setEnvironment(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), bus.address());
    QProcess *program = home->start({ QStringLiteral("/tray") });

    // The menu entry the program wrote, by its own Exec line.
    QFile entry(home->dataHome() + "/applications/tarrowin-chromium.desktop");
    QTRY_VERIFY_WITH_TIMEOUT(entry.exists(), 20000);
    QVERIFY(entry.open(QIODevice::ReadOnly));
    const QStringList exec
        = QProcess::splitCommand(QString::fromUtf8(entry.readAll()).section("\nExec=", 1));
    QProcess browser;
    const auto stopBrowser = qScopeGuard([&browser] { browser.kill(), browser.waitForFinished(); });
    browser.start(exec.first(), {});
    QFile record(profile + "/fakebrowser.record");
    const auto lastStart = [&record] {
        record.close();
        return record.open(QIODevice::ReadOnly) ? QString(record.readAll()).split("start\n").last()
                                                : QString();
    };
    QTRY_VERIFY(QFileInfo(profile + "/SingletonLock").isSymLink());
    QVERIFY(lastStart().startsWith("arg --user-data-dir=" + profile + "\n"));
    QCOMPARE(QDir(chromium).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList { "Local State" });

    // The notice comes with the switch, before any check after it, and stays on screen: no
    // later notice (the installation's own, the profile-copy offer) replaces it.
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount(lastChange), checks, 20000);
    m_server.release(lastChange);
    const QString text = "Chromium build 123456 is installed. Relaunch Chromium to use it.";
    const auto relaunchNotice = [&] {
        const QList<NotificationServer::Call> calls = notices.calls();
        const auto found = std::find_if(calls.begin(), calls.end(), [&](const auto &call) {
            return call.body == text && call.actions.contains("relaunch");
        });
        return found == calls.end() ? NotificationServer::Call() : *found;
    };
    QTRY_VERIFY_WITH_TIMEOUT(relaunchNotice().id != 0, 30000);
    const uint relaunchId = relaunchNotice().id;
    const QList<NotificationServer::Call> calls = notices.calls();
    QVERIFY(notices.open().contains(relaunchId));
    QVERIFY(std::none_of(calls.begin(), calls.end(),
                         [&](const auto &call) { return call.replacesId == relaunchId; }));
    QCOMPARE(m_server.requestCount(lastChange), checks);
    notices.invokeAction(relaunchId, QStringLiteral("relaunch"));
    QVERIFY(browser.waitForFinished(20000) && browser.exitCode() == 0);
    QTRY_VERIFY_WITH_TIMEOUT(lastStart().contains("\narg --restore-last-session\n"), 20000);
    QVERIFY(lastStart().endsWith("/versions/123456/chrome\n"));
    const QList<NotificationServer::Call> after = notices.calls();
    QCOMPARE(std::count_if(after.begin(), after.end(),
                           [&](const auto &call) { return call.body == text; }),
             1);
    // The new browser holds the profile; it is ended here, as nothing of the program's.
    QTRY_VERIFY(QFileInfo(profile + "/SingletonLock").isSymLink());
    ::kill(pid_t(QFile::symLinkTarget(profile + "/SingletonLock").section('-', -1).toInt()),
           SIGKILL);
    QVERIFY(ProgramStarter::stop(program));
    QTRY_VERIFY(notices.open().isEmpty());
}

TARROWIN_TEST_MAIN(TestLifecycle, true)
#include "tst_lifecycle.moc"

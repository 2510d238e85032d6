#include "support/archivebuilder.h"
#include "support/loopbackserver.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QFileInfo>
#include <QHash>
#include <QProcess>
#include <QRegularExpression>
#include <QSettings>

#include <algorithm>
#include <csignal>

namespace {
const char *const lastChangePaths[] = { "/chromium-browser-snapshots/Linux_x64/LAST_CHANGE",
                                        "/chromium-browser-continuous/Win/LAST_CHANGE" };
const QString latestBuild = QStringLiteral("123456");
const QString buildPath
    = QStringLiteral("/chromium-browser-snapshots/Linux_x64/123456/chrome-linux.zip");
const QString versionFilePath = QStringLiteral("/tarrowin/latest_version");
// The build a home starts with.
constexpr int installedBuild = 100;

// The suite's display is 1920 x 1080 without a window manager: the window's startup
// position is the centre of the screen.
const QRect startupGeometry(805, 443, 310, 195);

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

bool runTool(const QString &program, const QStringList &arguments, QByteArray *output = nullptr)
{
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(10000))
        return false;
    if (output)
        *output = process.readAllStandardOutput();
    return process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0;
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

private:
    struct Home
    {
        QTemporaryDir root;
        QString path(const char *name) const { return root.filePath(QLatin1String(name)); }
        QString installRoot() const
        {
            return path("data") + QStringLiteral("/Quillmarsh/Tarrowin/chromium");
        }
        QString settingsFile() const
        {
            return path("config") + QStringLiteral("/Quillmarsh/Tarrowin.conf");
        }
    };
    std::unique_ptr<Home> makeHome();
    std::unique_ptr<QProcess> start(const Home &home, const QStringList &arguments,
                                    const QProcessEnvironment &extra = {});
    static QStringList downloadDirectories(const Home &home);

    // What the program shows, told apart the way the X server sees it.
    enum class Kind { TrayIcon, MainWindow, Balloon, Menu };
    static QList<QRect> shown(qint64 pid, Kind kind);
    static bool openTrayMenu(qint64 pid);

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

std::unique_ptr<TestLifecycle::Home> TestLifecycle::makeHome()
{
    auto home = std::make_unique<Home>();
    for (const char *name : { "config", "data", "tmp", "runtime" })
        QDir(home->root.path()).mkdir(QLatin1String(name));
    QFile::setPermissions(home->path("runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // An older build in use, as on any machine after the first update.
    const QString versions
        = home->installRoot() + QStringLiteral("/versions/") + QString::number(installedBuild);
    QDir().mkpath(versions);
    QFile::link(QStringLiteral("versions/") + QString::number(installedBuild),
                home->installRoot() + QStringLiteral("/current"));
    // No balloons about the work: Qt draws its own as top-level windows here, and only the
    // main window is to be counted.
    QDir(home->path("config")).mkdir(QStringLiteral("Quillmarsh"));
    QFile settings(home->settingsFile());
    if (settings.open(QIODevice::WriteOnly))
        settings.write("[General]\nShowNotifications=false\nCurrentBuild="
                       + QByteArray::number(installedBuild) + "\n");
    return home;
}

std::unique_ptr<QProcess> TestLifecycle::start(const Home &home, const QStringList &arguments,
                                               const QProcessEnvironment &extra)
{
    auto process = std::make_unique<QProcess>();
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path("config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.path("data"));
    env.insert(QStringLiteral("TMPDIR"), home.path("tmp"));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.path("runtime"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    env.insert(QStringLiteral("TARROWIN_TEST_BUILD_STORAGE"), m_server.url().toString());
    env.insert(QStringLiteral("TARROWIN_TEST_MAKER"), m_server.url().toString());
    env.insert(extra);
    process->setProcessEnvironment(env);
    process->setProcessChannelMode(QProcess::ForwardedChannels);
    process->start(QStringLiteral(TARROWIN_UNDER_TEST), arguments);
    if (!process->waitForStarted())
        qWarning("could not start %s", TARROWIN_UNDER_TEST);
    return process;
}

// Where downloads in progress live: an installer in TMPDIR, an archive in the install
// root's staging area.
QStringList TestLifecycle::downloadDirectories(const Home &home)
{
    QStringList result;
    const QDir temp(home.path("tmp"));
    for (const QString &name :
         temp.entryList({ QStringLiteral("tarrowin-*") }, QDir::AllEntries | QDir::NoDotAndDotDot))
        result.append(temp.filePath(name));
    const QDir staging(home.installRoot());
    for (const QString &name :
         staging.entryList({ QStringLiteral(".staging-*") },
                           QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        result.append(staging.filePath(name));
    return result;
}

// The geometries of the process's visible windows of one kind. The tray icon is embedded in
// the tray host; the main window is the one top-level window a window manager would manage;
// balloons and menus bypass it, and only a balloon calls itself a tool tip.
QList<QRect> TestLifecycle::shown(qint64 pid, Kind kind)
{
    QByteArray ids;
    runTool(QStringLiteral("xdotool"),
            { QStringLiteral("search"), QStringLiteral("--onlyvisible"), QStringLiteral("--pid"),
              QString::number(pid) },
            &ids);
    static const QRegularExpression field(
        QStringLiteral("(Root window id|Parent window id|Absolute upper-left X|Absolute "
                       "upper-left Y|Width|Height|Override Redirect State): *(\\S+)"));
    QList<QRect> result;
    for (const QByteArray &id : ids.split('\n')) {
        QByteArray info;
        if (id.isEmpty()
            || !runTool(QStringLiteral("xwininfo"),
                        { QStringLiteral("-all"), QStringLiteral("-id"), QString::fromLatin1(id) },
                        &info))
            continue;
        const QString text = QString::fromLatin1(info);
        QHash<QString, QString> values;
        for (const auto &match : field.globalMatch(text))
            values.insert(match.captured(1), match.captured(2));
        Kind found = Kind::Menu;
        if (values.value(QStringLiteral("Root window id"))
            != values.value(QStringLiteral("Parent window id")))
            found = Kind::TrayIcon;
        else if (values.value(QStringLiteral("Override Redirect State")) == QLatin1String("no"))
            found = Kind::MainWindow;
        else if (text.section(QStringLiteral("Window type:"), 1).contains(QLatin1String("Tooltip")))
            found = Kind::Balloon;
        if (found == kind)
            result.append(QRect(values.value(QStringLiteral("Absolute upper-left X")).toInt(),
                                values.value(QStringLiteral("Absolute upper-left Y")).toInt(),
                                values.value(QStringLiteral("Width")).toInt(),
                                values.value(QStringLiteral("Height")).toInt()));
    }
    return result;
}

// A right-click on the tray icon, as a user gives it.
bool TestLifecycle::openTrayMenu(qint64 pid)
{
    const QList<QRect> icons = shown(pid, Kind::TrayIcon);
    if (icons.size() != 1)
        return false;
    const QPoint centre = icons.first().center();
    return runTool(QStringLiteral("xdotool"),
                   { QStringLiteral("mousemove"), QString::number(centre.x()),
                     QString::number(centre.y()), QStringLiteral("click"), QStringLiteral("3") });
}

void TestLifecycle::secondStartHandsOverAndQuits()
{
    auto home = makeHome();
    auto first = start(*home, { QStringLiteral("/tray") });
    const qint64 pid = first->processId();
    QTRY_COMPARE_WITH_TIMEOUT(shown(pid, Kind::TrayIcon).size(), 1, 20000);
    QFile settingsFile(home->settingsFile());
    QVERIFY(settingsFile.open(QIODevice::ReadOnly));
    const QByteArray settings = settingsFile.readAll();
    settingsFile.close();

    // A second tray start, as at a second logon: it leaves at once and changes nothing.
    auto tray = start(*home, { QStringLiteral("/tray") });
    QVERIFY(tray->waitForFinished(10000));
    QCOMPARE(tray->exitStatus(), QProcess::NormalExit);
    QCOMPARE(tray->exitCode(), 0);
    QVERIFY(settingsFile.open(QIODevice::ReadOnly));
    QCOMPARE(settingsFile.readAll(), settings);
    settingsFile.close();
    QCOMPARE(first->state(), QProcess::Running);
    QCOMPARE(shown(pid, Kind::TrayIcon).size(), 1);
    QVERIFY(shown(pid, Kind::MainWindow).isEmpty());

    // A start by hand brings up the running instance's window instead of its own.
    auto normal = start(*home, {});
    QVERIFY(normal->waitForFinished(10000));
    QCOMPARE(normal->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(shown(pid, Kind::MainWindow).size(), 1, 10000);
    QCOMPARE(shown(pid, Kind::TrayIcon).size(), 1);
    QCOMPARE(first->state(), QProcess::Running);

    first->terminate();
    QVERIFY(first->waitForFinished(10000));
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
    auto program = start(*home, { QStringLiteral("/tray") });
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
    auto killed = start(*home, { QStringLiteral("/tray") });
    QTRY_COMPARE_WITH_TIMEOUT(downloadDirectories(*home).size(), 1, 20000);
    killed->kill();
    QVERIFY(killed->waitForFinished(10000));
    // Builds that come as an installer download into TMPDIR; a killed run of those leaves
    // this behind.
    const QString installerDirectory = home->path("tmp") + QStringLiteral("/tarrowin-Ab12Cd");
    QVERIFY(QDir().mkpath(installerDirectory));
    QVERIFY(QFile(installerDirectory + QStringLiteral("/chromium_installer_1.exe"))
                .open(QIODevice::WriteOnly));
    const QStringList leftovers = downloadDirectories(*home);
    QCOMPARE(leftovers.size(), 2);

    auto next = start(*home, { QStringLiteral("/tray") });
    const auto anyLeft = [&] {
        const QStringList now = downloadDirectories(*home);
        return std::any_of(leftovers.begin(), leftovers.end(),
                           [&](const QString &path) { return now.contains(path); });
    };
    QTRY_VERIFY_WITH_TIMEOUT(!anyLeft(), 20000);
    // It runs as the one instance: the dead run's lock did not keep it out.
    QCOMPARE(next->state(), QProcess::Running);
    next->terminate();
    QVERIFY(next->waitForFinished(10000));
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
    auto program = start(*home, { QStringLiteral("/tray") });
    const qint64 pid = program->processId();
    QTRY_COMPARE_WITH_TIMEOUT(shown(pid, Kind::TrayIcon).size(), 1, 20000);
    if (balloon)
        QTRY_COMPARE_WITH_TIMEOUT(shown(pid, Kind::Balloon).size(), 1, 20000);

    QVERIFY(openTrayMenu(pid));
    QTRY_COMPARE_WITH_TIMEOUT(shown(pid, Kind::Menu).size(), 1, 10000);
    // The menu closing shows the program has handled everything the right-click asked for.
    // It is closed by a click on the empty screen: Escape would hide the window too.
    QVERIFY(runTool(QStringLiteral("xdotool"),
                    { QStringLiteral("mousemove"), QStringLiteral("300"), QStringLiteral("900"),
                      QStringLiteral("click"), QStringLiteral("1") }));
    QTRY_VERIFY_WITH_TIMEOUT(shown(pid, Kind::Menu).isEmpty(), 10000);
    QCOMPARE(shown(pid, Kind::MainWindow), QList<QRect>());

    program->terminate();
    QVERIFY(program->waitForFinished(10000));
    QCOMPARE(program->exitCode(), 0);
}

void TestLifecycle::openChosenFromTheMenuShowsTheWindow()
{
    auto home = makeHome();
    auto program = start(*home, { QStringLiteral("/tray") });
    const qint64 pid = program->processId();
    QTRY_COMPARE_WITH_TIMEOUT(shown(pid, Kind::TrayIcon).size(), 1, 20000);
    QVERIFY(openTrayMenu(pid));
    QTRY_COMPARE_WITH_TIMEOUT(shown(pid, Kind::Menu).size(), 1, 10000);
    QVERIFY(runTool(QStringLiteral("xdotool"), { QStringLiteral("key"), QStringLiteral("o") }));
    // A tray start never placed the window: it appears where a normal start would put it.
    QTRY_COMPARE_WITH_TIMEOUT(shown(pid, Kind::MainWindow), QList<QRect> { startupGeometry },
                              10000);

    program->terminate();
    QVERIFY(program->waitForFinished(10000));
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
    const QString hold = home->path("hold");
    QProcessEnvironment extra;
    extra.insert(QStringLiteral("TARROWIN_TEST_HOLD"), hold);
    auto program = start(*home, { QStringLiteral("/tray") }, extra);
    const qint64 pid = program->processId();
    QTRY_COMPARE_WITH_TIMEOUT(shown(pid, Kind::TrayIcon).size(), 1, 20000);
    QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(hold + QStringLiteral(".waiting")), 20000);

    if (fromMenu) {
        QVERIFY(openTrayMenu(pid));
        QTRY_COMPARE_WITH_TIMEOUT(shown(pid, Kind::Menu).size(), 1, 10000);
        // Exit is the last entry.
        const QRect menu = shown(pid, Kind::Menu).first();
        QVERIFY(runTool(QStringLiteral("xdotool"),
                        { QStringLiteral("mousemove"), QString::number(menu.center().x()),
                          QString::number(menu.bottom() - 11), QStringLiteral("click"),
                          QStringLiteral("1") }));
    } else {
        QCOMPARE(::kill(pid_t(pid), SIGTERM), 0);
    }
    // The window says which build it finishes, where a normal start would have put it.
    QTRY_COMPARE_WITH_TIMEOUT(shown(pid, Kind::MainWindow), QList<QRect> { startupGeometry },
                              10000);
    QCOMPARE(program->state(), QProcess::Running);

    const QString current = home->installRoot() + QStringLiteral("/current");
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
             QFileInfo(home->installRoot() + QStringLiteral("/versions/")
                       + QString::number(expectedBuild))
                 .canonicalFilePath());
    QCOMPARE(QSettings(home->settingsFile(), QSettings::IniFormat)
                 .value(QStringLiteral("CurrentBuild"))
                 .toInt(),
             expectedBuild);
    QCOMPARE(downloadDirectories(*home), QStringList());
}

TARROWIN_TEST_MAIN(TestLifecycle, true)
#include "tst_lifecycle.moc"

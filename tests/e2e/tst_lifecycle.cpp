#include "support/loopbackserver.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QProcess>

#include <algorithm>
#include <csignal>

namespace {
const char *const lastChangePaths[] = { "/chromium-browser-snapshots/Linux_x64/LAST_CHANGE",
                                        "/chromium-browser-continuous/Win/LAST_CHANGE" };
}

// Starts, second starts, signals and kills of the whole program on the suite's display.
// Every run has its own settings, data, temporary and runtime directories; every download
// it begins is answered with a few bytes and then held open.
class TestLifecycle : public QObject
{
    Q_OBJECT

public:
    explicit TestLifecycle(TestEnvironment &);

private slots:
    void secondStartHandsOverAndQuits();
    void signalEndsTheProgramCleanly_data();
    void signalEndsTheProgramCleanly();
    void nextStartRemovesWhatAKilledRunLeft();

private:
    struct Home
    {
        QTemporaryDir root;
        QString path(const char *name) const { return root.filePath(QLatin1String(name)); }
    };
    std::unique_ptr<Home> makeHome();
    std::unique_ptr<QProcess> start(const Home &home, const QStringList &arguments);
    static QStringList downloadDirectories(const Home &home);
    static QStringList windows(qint64 pid, bool embedded);

    LoopbackServer m_server;
};

TestLifecycle::TestLifecycle(TestEnvironment &)
{
    LoopbackServer::Response stalled;
    stalled.body = QByteArray(1024 * 1024, 'x');
    stalled.stallAfter = 1024;
    for (const char *path : lastChangePaths)
        m_server.serve(QLatin1String(path), "123456");
    // Whatever else is asked for (the download) is answered before the server replies.
    connect(&m_server, &LoopbackServer::requested, this, [this, stalled](const QString &path) {
        if (!path.endsWith(QLatin1String("/LAST_CHANGE")))
            m_server.setResponse(path, stalled);
    });
}

std::unique_ptr<TestLifecycle::Home> TestLifecycle::makeHome()
{
    auto home = std::make_unique<Home>();
    for (const char *name : { "config", "data", "tmp", "runtime" })
        QDir(home->root.path()).mkdir(QLatin1String(name));
    QFile::setPermissions(home->path("runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    // No balloons: Qt draws its own as top-level windows here, and only the main window
    // is to be counted.
    QDir(home->path("config")).mkdir(QStringLiteral("Quillmarsh"));
    QFile settings(home->path("config") + QStringLiteral("/Quillmarsh/Tarrowin.conf"));
    if (settings.open(QIODevice::WriteOnly))
        settings.write("[General]\nShowNotifications=false\n");
    return home;
}

std::unique_ptr<QProcess> TestLifecycle::start(const Home &home, const QStringList &arguments)
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
    const QDir staging(home.path("data") + QStringLiteral("/Quillmarsh/Tarrowin/chromium"));
    for (const QString &name :
         staging.entryList({ QStringLiteral(".staging-*") },
                           QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot))
        result.append(staging.filePath(name));
    return result;
}

// The ids of the process's visible windows: the tray icon (embedded in the tray host) or
// top-level windows.
QStringList TestLifecycle::windows(qint64 pid, bool embedded)
{
    QProcess search;
    search.start(QStringLiteral("xdotool"),
                 { QStringLiteral("search"), QStringLiteral("--onlyvisible"),
                   QStringLiteral("--pid"), QString::number(pid) });
    search.waitForFinished();
    QStringList result;
    const auto ids = QString::fromLatin1(search.readAllStandardOutput())
                         .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
    for (const QString &id : ids) {
        QProcess tree;
        tree.start(QStringLiteral("xwininfo"),
                   { QStringLiteral("-tree"), QStringLiteral("-id"), id });
        tree.waitForFinished();
        const QString text = QString::fromLatin1(tree.readAllStandardOutput());
        const QString root = text.section(QStringLiteral("Root window id: "), 1).section(' ', 0, 0);
        const QString parent
            = text.section(QStringLiteral("Parent window id: "), 1).section(' ', 0, 0);
        if (!root.isEmpty() && (root != parent) == embedded)
            result.append(id);
    }
    return result;
}

void TestLifecycle::secondStartHandsOverAndQuits()
{
    auto home = makeHome();
    auto first = start(*home, { QStringLiteral("/tray") });
    const qint64 pid = first->processId();
    QTRY_COMPARE_WITH_TIMEOUT(windows(pid, true).size(), 1, 20000);
    QFile settingsFile(home->path("config") + QStringLiteral("/Quillmarsh/Tarrowin.conf"));
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
    QCOMPARE(windows(pid, true).size(), 1);
    QVERIFY(windows(pid, false).isEmpty());

    // A start by hand brings up the running instance's window instead of its own.
    auto normal = start(*home, {});
    QVERIFY(normal->waitForFinished(10000));
    QCOMPARE(normal->exitCode(), 0);
    QTRY_COMPARE_WITH_TIMEOUT(windows(pid, false).size(), 1, 10000);
    QCOMPARE(windows(pid, true).size(), 1);
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

TARROWIN_TEST_MAIN(TestLifecycle, true)
#include "tst_lifecycle.moc"

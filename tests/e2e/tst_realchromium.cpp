#include "support/archivebuilder.h"
#include "support/loopbackserver.h"
#include "support/notificationserver.h"
#include "support/privatebus.h"
#include "support/programstarter.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QDirIterator>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSettings>

#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace {
const QString debianChromium = QStringLiteral("/usr/lib/chromium");
const QString lastChange = QStringLiteral("/chromium-browser-snapshots/Linux_x64/LAST_CHANGE");
const QString buildPath
    = QStringLiteral("/chromium-browser-snapshots/Linux_x64/123456/chrome-linux.zip");
constexpr int oldBuild = 100;
constexpr int newBuild = 123456;
// Off the network, without a GPU, and its cookies' key not in a keyring that is not there. As
// root it runs only with --no-sandbox besides.
const QString browserArguments
    = QStringLiteral("--no-first-run --no-default-browser-check --disable-background-networking "
                     "--disable-component-update --disable-sync --disable-gpu --disable-quic "
                     "--password-store=basic");
// The pages the browser is shown. The first sets its cookie once /when is answered; later
// loads of it, the restored tab's among them, report the cookies they see.
const QByteArray cookieSetter = "<script>fetch('/when').then(() => {"
                                " document.cookie = 'kept=yes; max-age=86400; path=/';"
                                " fetch('/ack?' + document.cookie); });</script>";
const QByteArray cookieReader = "<script>fetch('/seen?' + document.cookie)</script>";
const QByteArray stayingPage = "<body style='margin:0;height:100vh'><script>"
                               "addEventListener('beforeunload', e => {"
                               " e.preventDefault(); e.returnValue = ''; });"
                               "addEventListener('click', () => fetch('/clicked'));"
                               "fetch('/loaded');</script></body>";
const QByteArray plainPage = "<script>fetch('/loaded')</script>";

// Never from the cache: a restored tab asks the server again.
LoopbackServer::Response page(const QByteArray &body, bool held = false)
{
    LoopbackServer::Response response;
    response.headers = { { "Content-Type", "text/html" }, { "Cache-Control", "no-store" } };
    response.body = body;
    response.held = held;
    return response;
}

// A copy of the tree whose files are links to its own where the file system allows.
bool linkTree(const QString &source, const QString &target)
{
    const auto copy = [&](const QString &how) {
        QDir(target).removeRecursively();
        return QProcess::execute(QStringLiteral("cp"), { how, source, target }) == 0;
    };
    return copy(QStringLiteral("-al")) || copy(QStringLiteral("-a"));
}

// The tree below folder as a snapshot's zip holds it, its files' data verbatim.
QByteArray zipOf(const QString &folder)
{
    using Entry = ArchiveBuilder::Entry;
    QList<Entry> entries { { QStringLiteral("chrome-linux/"), {}, Entry::Directory, 0755, {} } };
    QDirIterator found(folder, QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot,
                       QDirIterator::Subdirectories);
    while (found.hasNext()) {
        const QFileInfo info(found.next());
        const QString path
            = QStringLiteral("chrome-linux/") + QDir(folder).relativeFilePath(info.filePath());
        QFile file(info.filePath());
        if (info.isDir())
            entries.append({ path + QLatin1Char('/'), {}, Entry::Directory, 0755, {} });
        else if (file.open(QIODevice::ReadOnly))
            entries.append(
                { path, file.readAll(), Entry::File, info.isExecutable() ? 0755 : 0644, {} });
    }
    return ArchiveBuilder::zip(entries, ArchiveBuilder::Compression::Store);
}

// A build whose chrome is a script that says it is Chromium `version`.
QByteArray scriptedBuild(const QByteArray &version)
{
    QList<ArchiveBuilder::Entry> tree = ArchiveBuilder::chromeTree();
    tree[1].data = "#!/bin/sh\necho 'Chromium " + version + " snapshot'\n";
    return ArchiveBuilder::zip(tree);
}

// The processes that run exe (a browser and its helpers), or with below, any program in it.
QList<qint64> processesOf(const QString &exe, bool below = false)
{
    QList<qint64> found;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        const QString running
            = QFile::symLinkTarget(QStringLiteral("/proc/") + entry + QStringLiteral("/exe"));
        if (below ? running.startsWith(exe + QLatin1Char('/')) : running == exe)
            found.append(entry.toLongLong());
    }
    return found;
}

QByteArray procFile(qint64 pid, const QString &name)
{
    QFile file(QStringLiteral("/proc/%1/%2").arg(pid).arg(name));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Every thread of pid in the stopped state; the state follows the name in parentheses.
bool stopped(qint64 pid)
{
    const QString tasks = QStringLiteral("/proc/%1/task").arg(pid);
    const QStringList threads = QDir(tasks).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    return std::all_of(threads.begin(), threads.end(), [&](const QString &thread) {
        const QByteArray stat = procFile(pid, QStringLiteral("task/") + thread + "/stat");
        return stat.mid(stat.lastIndexOf(')') + 2, 1) == "T";
    });
}

// Whether a stopped process holds a signal that ends or quits it, or ended all the same.
bool signalled(qint64 pid)
{
    const QByteArray status = procFile(pid, QStringLiteral("status"));
    constexpr quint64 quitting = 1u << (SIGHUP - 1) | 1u << (SIGINT - 1) | 1u << (SIGTERM - 1);
    quint64 pending = 0;
    for (const QByteArray &line : status.split('\n')) {
        if (line.startsWith("SigPnd:") || line.startsWith("ShdPnd:"))
            pending |= line.mid(7).trimmed().toULongLong(nullptr, 16);
        if (line.startsWith("State:") && (line.contains("zombie") || line.contains("dead")))
            return true;
    }
    return status.isEmpty() || (pending & quitting);
}

// Stops processes until it goes, so signals sent meanwhile wait in them to be seen.
class Frozen
{
public:
    explicit Frozen(const QList<qint64> &pids)
        : m_pids(pids)
    {
        for (const qint64 pid : pids)
            ::kill(pid_t(pid), SIGSTOP);
    }
    ~Frozen()
    {
        for (const qint64 pid : std::as_const(m_pids))
            ::kill(pid_t(pid), SIGCONT);
    }
    bool stopped() const { return std::all_of(m_pids.begin(), m_pids.end(), ::stopped); }

private:
    QList<qint64> m_pids;
};
} // namespace

// Debian's own Chromium, zipped as a snapshot, installed by the whole program from its
// loopback storage and started through the menu entry it writes, then relaunched, ended and
// asked to quit as on a person's desktop. Build 100, the one in use when each case begins, is
// the same Chromium, linked into place.
class TestRealChromium : public QObject
{
    Q_OBJECT

public:
    explicit TestRealChromium(TestEnvironment &) { }

private slots:
    void initTestCase();
    void cleanup();
    void relaunchAsksOnlyTheBrowserAndKeepsItsCookies();
    void pageThatAsksToStayKeepsTheBrowserOpen();
    void nextMilestoneSnapshotsTheProfileAfterSigterm();

private:
    // A home using build 100, whose storage offers `build` as 123456 once released, and the
    // program running in it, in the tray.
    void startSession(const QByteArray &build);
    // The menu entry's command with the page's address, as a person's click runs it.
    QProcess *startBrowser(const QString &path);
    uint relaunchNotice() const;
    QString installRoot() const
    {
        return m_home->dataHome() + QStringLiteral("/Quillmarsh/Tarrowin/chromium");
    }
    QString chrome(int build) const
    {
        return installRoot() + QStringLiteral("/versions/%1/chrome").arg(build);
    }
    QString profile() const { return m_home->configHome() + QStringLiteral("/tarrowin-chromium"); }

    QTemporaryDir m_files;
    QByteArray m_realBuild;
    QByteArray m_version; // what Debian's Chromium says of itself
    QString m_arguments; // the launcher's, from the test seam
    LoopbackServer m_server;
    std::unique_ptr<ProgramStarter> m_home;
    std::unique_ptr<PrivateBus> m_bus;
    std::unique_ptr<NotificationServer> m_notices;
    QProcess *m_program = nullptr;
    QByteArray m_output; // the program's
};

void TestRealChromium::initTestCase()
{
    if (!TestEnvironment::hasDisplay())
        QSKIP("Chromium needs an X display: run this through scripts/test.");
    const QString chromium = debianChromium + QStringLiteral("/chromium");
    if (!QFileInfo(chromium).isExecutable())
        QSKIP("Debian's chromium is not installed: scripts/install-deps installs it.");
    m_arguments
        = (::geteuid() == 0 ? QStringLiteral("--no-sandbox ") : QString()) + browserArguments;
    // Once without a window, to know it starts at all here.
    QProcess probe;
    probe.start(chromium,
                QProcess::splitCommand(m_arguments)
                    + QStringList { QStringLiteral("--headless"), QStringLiteral("--dump-dom"),
                                    QStringLiteral("--user-data-dir=")
                                        + m_files.filePath(QStringLiteral("probe")),
                                    QStringLiteral("about:blank") });
    if (!probe.waitForFinished(30000) || probe.exitCode() != 0)
        QSKIP(qPrintable(QStringLiteral("Chromium cannot start here: ")
                         + QString::fromLocal8Bit(probe.readAllStandardError().trimmed())
                               .section(QLatin1Char('\n'), -1)));
    probe.start(chromium, { QStringLiteral("--version") });
    QVERIFY(probe.waitForFinished(20000) && probe.exitCode() == 0);
    m_version = probe.readAllStandardOutput();

    QElapsedTimer timer;
    timer.start();
    const QString tree = m_files.filePath(QStringLiteral("chrome-linux"));
    QVERIFY(linkTree(debianChromium, tree));
    QVERIFY(QFile::rename(tree + QStringLiteral("/chromium"), tree + QStringLiteral("/chrome")));
    m_realBuild = zipOf(tree);
    QVERIFY(!m_realBuild.isEmpty());
    qInfo("Zipped %lld MB of Debian's Chromium in %lld ms", m_realBuild.size() >> 20,
          timer.elapsed());
}

void TestRealChromium::cleanup()
{
    // Every browser the case started, the relaunched one too, and their helpers.
    const QString root = m_home ? QFileInfo(installRoot()).canonicalFilePath() : QString();
    if (!root.isEmpty()) {
        for (const qint64 pid : processesOf(root, true))
            ::kill(pid_t(pid), SIGKILL);
        QVERIFY(QTest::qWaitFor([&] { return processesOf(root, true).isEmpty(); }, 10000));
    }
    m_home.reset();
    m_notices.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("notices"));
    m_bus.reset();
    m_output.clear();
}

void TestRealChromium::startSession(const QByteArray &build)
{
    m_home = std::make_unique<ProgramStarter>(QStringLiteral(TARROWIN_UNDER_TEST));
    m_home->setServer(m_server.url());
    m_home->setEnvironment(QStringLiteral("HOME"), m_home->root());
    m_home->setEnvironment(QStringLiteral("TARROWIN_TEST_BROWSER_ARGUMENTS"), m_arguments);
    const QString versions = installRoot() + QStringLiteral("/versions/%1").arg(oldBuild);
    QVERIFY(QDir().mkpath(installRoot() + QStringLiteral("/versions")));
    QVERIFY(linkTree(m_files.filePath(QStringLiteral("chrome-linux")), versions));
    QFile versionFile(versions + QStringLiteral("/.tarrowin-version"));
    QVERIFY(versionFile.open(QIODevice::WriteOnly) && versionFile.write(m_version) > 0);
    QVERIFY(QFile::link(QStringLiteral("versions/%1").arg(oldBuild),
                        installRoot() + QStringLiteral("/current")));
    QDir(m_home->configHome()).mkdir(QStringLiteral("Quillmarsh"));
    QSettings settings(m_home->settingsFile(), QSettings::IniFormat);
    settings.setValue(QStringLiteral("ShowNotifications"), true);
    settings.setValue(QStringLiteral("CurrentBuild"), oldBuild);
    settings.sync();

    m_bus = std::make_unique<PrivateBus>(m_home->tempDir());
    m_notices = std::make_unique<NotificationServer>(
        QDBusConnection::connectToBus(m_bus->address(), QStringLiteral("notices")));
    QVERIFY(m_notices->registered());
    m_home->setEnvironment(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_bus->address());

    m_server.clearRequests();
    m_server.setResponse(buildPath, LoopbackServer::Response { 200, {}, build });
    LoopbackServer::Response latest;
    latest.body = QByteArray::number(newBuild);
    latest.held = true;
    m_server.setResponse(lastChange, latest);
    for (const char *path : { "/when", "/ack", "/seen", "/loaded", "/clicked" })
        m_server.setResponse(QLatin1String(path), page({}, qstrcmp(path, "/when") == 0));
    m_server.setResponse(QStringLiteral("/set"), page(cookieSetter));
    m_server.setResponse(QStringLiteral("/stay"), page(stayingPage));
    m_server.setResponse(QStringLiteral("/plain"), page(plainPage));

    m_program = m_home->start({ QStringLiteral("/tray") }, QProcess::MergedChannels);
    connect(m_program, &QProcess::readyRead, this, [this] { m_output += m_program->readAll(); });
}

QProcess *TestRealChromium::startBrowser(const QString &path)
{
    QFile entry(m_home->dataHome() + QStringLiteral("/applications/tarrowin-chromium.desktop"));
    if (!QTest::qWaitFor([&] { return entry.exists(); }, 20000) || !entry.open(QIODevice::ReadOnly))
        return nullptr;
    const QStringList exec
        = QProcess::splitCommand(QString::fromUtf8(entry.readAll()).section("\nExec=", 1));
    auto *browser = new QProcess(m_home.get());
    QProcessEnvironment environment = m_home->environment();
    environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
    browser->setProcessEnvironment(environment);
    browser->setStandardOutputFile(QProcess::nullDevice());
    browser->setStandardErrorFile(QProcess::nullDevice());
    browser->start(exec.value(0), { m_server.url(path).toString() });
    return browser->waitForStarted() ? browser : nullptr;
}

uint TestRealChromium::relaunchNotice() const
{
    const QList<NotificationServer::Call> calls = m_notices->calls();
    for (auto call = calls.rbegin(); call != calls.rend(); ++call) {
        if (call->actions.contains(QStringLiteral("relaunch")))
            return call->id;
    }
    return 0;
}

// Chromium keeps cookies in memory for a while: the quit a relaunch asks for must be the
// browser's own, which writes them, sent to the browser process alone.
void TestRealChromium::relaunchAsksOnlyTheBrowserAndKeepsItsCookies()
{
    startSession(m_realBuild);
    if (QTest::currentTestFailed())
        return;
    QProcess *browser = startBrowser(QStringLiteral("/set"));
    QVERIFY(browser);
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount(QStringLiteral("/when")), 1, 30000);
    m_server.release(lastChange);
    QTRY_VERIFY_WITH_TIMEOUT(relaunchNotice() != 0, 90000);

    m_server.release(QStringLiteral("/when"));
    QTRY_VERIFY_WITH_TIMEOUT(m_server.requests().contains(QStringLiteral("/ack?kept=yes")), 10000);
    m_server.setResponse(QStringLiteral("/set"), page(cookieReader));
    // The person clicks "Relaunch" a second after the page set its cookie.
    QTest::qWait(1000);
    const qint64 pid = browser->processId();
    QList<qint64> helpers = processesOf(QFileInfo(chrome(oldBuild)).canonicalFilePath());
    QVERIFY(helpers.removeAll(pid) == 1 && !helpers.isEmpty());
    {
        const Frozen frozen(helpers + QList<qint64> { pid });
        QTRY_VERIFY_WITH_TIMEOUT(frozen.stopped(), 10000);
        m_notices->invokeAction(relaunchNotice(), QStringLiteral("relaunch"));
        QTRY_VERIFY_WITH_TIMEOUT(signalled(pid), 10000);
        QStringList wrongly;
        for (const qint64 helper : std::as_const(helpers)) {
            if (signalled(helper))
                wrongly.append(QString::fromLatin1(procFile(helper, QStringLiteral("cmdline")))
                                   .section(QStringLiteral("--type="), 1)
                                   .section(QLatin1Char(' '), 0, 0));
        }
        QVERIFY2(wrongly.isEmpty(),
                 qPrintable(QStringLiteral("helpers asked to end: ")
                            + wrongly.join(QStringLiteral(", "))));
    }
    QVERIFY(browser->waitForFinished(20000));
    // The relaunched browser restores the tab, which now reports what it finds.
    const auto seen = [this] {
        return m_server.requests().filter(QRegularExpression(QStringLiteral("^/seen"))).value(0);
    };
    QTRY_VERIFY_WITH_TIMEOUT(!seen().isEmpty(), 30000);
    QCOMPARE(seen(), QStringLiteral("/seen?kept=yes"));
    QVERIFY(!processesOf(QFileInfo(chrome(newBuild)).canonicalFilePath()).isEmpty());
}

// Chromium asks before leaving a page the person has used that wants to stay; a relaunch
// that is a normal quit lets it ask, and the program then says why nothing happened.
void TestRealChromium::pageThatAsksToStayKeepsTheBrowserOpen()
{
    startSession(scriptedBuild(m_version.split(' ').value(1)));
    if (QTest::currentTestFailed())
        return;
    QProcess *browser = startBrowser(QStringLiteral("/stay"));
    QVERIFY(browser);
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount(QStringLiteral("/loaded")), 1, 30000);
    QList<QRect> windows;
    QTRY_COMPARE_WITH_TIMEOUT(
        (windows = ProgramStarter::shown(browser->processId(), ProgramStarter::MainWindow)).size(),
        1, 10000);
    // Clicks until one reaches the page: it takes input some time after it loaded.
    const auto clicked = [&] {
        if (m_server.requestCount(QStringLiteral("/clicked")) > 0)
            return true;
        ProgramStarter::click(windows.first().center(), 1);
        return false;
    };
    QVERIFY(QTest::qWaitFor(clicked, 10000));
    m_server.release(lastChange);
    QTRY_VERIFY_WITH_TIMEOUT(relaunchNotice() != 0, 60000);

    m_notices->invokeAction(relaunchNotice(), QStringLiteral("relaunch"));
    const auto said = [this] { return m_output.contains("did not quit"); };
    QTRY_VERIFY_WITH_TIMEOUT(said() || browser->state() == QProcess::NotRunning, 60000);
    QVERIFY2(browser->state() == QProcess::Running,
             "the browser was ended although its page asked to stay");
    QTRY_VERIFY_WITH_TIMEOUT(said(), 60000);
    QCOMPARE(browser->state(), QProcess::Running);
}

// Chromium ended by SIGTERM leaves its SingletonLock naming a process that is gone: the
// profile is free, and a newer milestone's first start keeps a copy of it as it was.
void TestRealChromium::nextMilestoneSnapshotsTheProfileAfterSigterm()
{
    startSession(scriptedBuild("999.0.1.0"));
    if (QTest::currentTestFailed())
        return;
    QProcess *browser = startBrowser(QStringLiteral("/plain"));
    QVERIFY(browser);
    QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount(QStringLiteral("/loaded")), 1, 30000);
    QCOMPARE(::kill(pid_t(browser->processId()), SIGTERM), 0);
    QVERIFY(browser->waitForFinished(10000));
    QVERIFY2(QFileInfo(profile() + QStringLiteral("/SingletonLock")).isSymLink(),
             "Chromium removed its lock on SIGTERM: nothing to check here");
    QFile lastVersion(profile() + QStringLiteral("/Last Version"));
    QVERIFY(lastVersion.open(QIODevice::ReadOnly));
    const QByteArray written = lastVersion.readAll();

    m_server.release(lastChange);
    QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(installRoot() + QStringLiteral("/current")).symLinkTarget(),
                              installRoot() + QStringLiteral("/versions/%1").arg(newBuild), 60000);
    QProcess *next = startBrowser(QStringLiteral("/plain"));
    QVERIFY(next && next->waitForFinished(30000));
    QFile kept(installRoot() + QStringLiteral("/profile-snapshots/") + written.split('.').value(0)
               + QStringLiteral("/Last Version"));
    QVERIFY2(kept.open(QIODevice::ReadOnly), "no snapshot of the profile was taken");
    QCOMPARE(kept.readAll(), written);
}

// TARROWIN_TEST_MAIN, but without a display the cases skip, on a platform that needs none.
int main(int argc, char *argv[])
{
    if (!TestEnvironment::hasDisplay())
        qputenv("QT_QPA_PLATFORM", "offscreen");
    TestEnvironment environment;
    QApplication app(argc, argv);
    Startup::setApplicationIdentity();
    TestRealChromium test(environment);
    QTEST_SET_MAIN_SOURCE_PATH
    return QTest::qExec(&test, argc, argv);
}
#include "tst_realchromium.moc"

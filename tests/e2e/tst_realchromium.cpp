#include "support/archivebuilder.h"
#include "support/loopbackserver.h"
#include "support/notificationserver.h"
#include "support/privatebus.h"
#include "support/programstarter.h"
#include "support/testenvironment.h"

#include <QSettings>

#include <algorithm>
#include <csignal>
#include <unistd.h>

namespace {
const QString lastChange = QStringLiteral("/chromium-browser-snapshots/Linux_x64/LAST_CHANGE");
const QString buildPath
    = QStringLiteral("/chromium-browser-snapshots/Linux_x64/123456/chrome-linux.zip");
constexpr int oldBuild = 100;
constexpr int newBuild = 123456;
// Off the network, without a GPU, its cookies' key not in a keyring that is not there, and
// its window where a click finds the page. As root it runs only with --no-sandbox besides.
const QString browserArguments
    = QStringLiteral("--no-first-run --no-default-browser-check --disable-background-networking "
                     "--disable-component-update --disable-sync --disable-gpu --disable-quic "
                     "--password-store=basic --window-position=0,0 --window-size=800,600");
// Reports the cookies it sees, then sets one once /when is answered.
const QByteArray cookiePage = "<script>fetch('/seen?' + document.cookie);"
                              "fetch('/when').then(() => {"
                              " document.cookie = 'kept=yes; max-age=86400; path=/';"
                              " fetch('/ack'); });</script>";
const QByteArray stayingPage = "<body style='margin:0;height:100vh'><script>"
                               "addEventListener('beforeunload', e => {"
                               " e.preventDefault(); e.returnValue = ''; });"
                               "addEventListener('click', () => fetch('/clicked'));"
                               "fetch('/loaded');</script></body>";

// Never from the cache: a restored tab asks the server again.
LoopbackServer::Response page(const QByteArray &body, bool held = false)
{
    LoopbackServer::Response response {
        200, { { "Content-Type", "text/html" }, { "Cache-Control", "no-store" } }, body
    };
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

// The processes that run a program below folder: a browser and its helpers.
QList<qint64> processesIn(const QString &folder)
{
    const QString below = QFileInfo(folder).canonicalFilePath();
    QList<qint64> found;
    for (const QString &entry : QDir(QStringLiteral("/proc")).entryList(QDir::Dirs)) {
        if (!below.isEmpty()
            && QFile::symLinkTarget("/proc/" + entry + "/exe").startsWith(below + '/'))
            found.append(entry.toLongLong());
    }
    return found;
}
} // namespace

// Debian's own Chromium installed by the whole program from a snapshot's zip of it, then
// relaunched and ended as on a person's desktop. Build 100, in use as each case begins, is the
// same Chromium, linked into place.
class TestRealChromium : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        if (!TestEnvironment::hasDisplay())
            QSKIP("Chromium needs an X display: run this through scripts/test.");
        m_arguments
            = (::geteuid() == 0 ? QStringLiteral("--no-sandbox ") : QString()) + browserArguments;
        // Once without a window, to know it starts at all here.
        const QString chromium = QStringLiteral("/usr/lib/chromium/chromium");
        QProcess probe;
        probe.start(chromium,
                    QProcess::splitCommand(m_arguments)
                        + QStringList { QStringLiteral("--headless"), QStringLiteral("--dump-dom"),
                                        "--user-data-dir=" + m_files.filePath("probe"),
                                        QStringLiteral("about:blank") });
        if (!probe.waitForFinished(30000) || probe.exitCode() != 0)
            QSKIP(qPrintable("Chromium cannot start here (scripts/install-deps installs it): "
                             + probe.errorString() + ", "
                             + QString::fromLocal8Bit(probe.readAllStandardError())
                                   .trimmed()
                                   .section('\n', -1)));
        QVERIFY(linkTree(QFileInfo(chromium).path(), m_files.filePath("chrome-linux")));
        QVERIFY(QFile::rename(m_files.filePath("chrome-linux/chromium"),
                              m_files.filePath("chrome-linux/chrome")));
        // Stored, not deflated: zipped in a moment.
        probe.start(QStringLiteral("bsdtar"),
                    { "--format=zip", "--options=zip:compression=store", "-cf",
                      m_files.filePath("build.zip"), "-C", m_files.path(), "chrome-linux" });
        QVERIFY(probe.waitForFinished(60000) && probe.exitCode() == 0);
        m_realBuild = read(m_files.filePath("build.zip"));
    }

    void cleanup()
    {
        // Every browser the case started, the relaunched one too, and their helpers.
        const QString root = m_home ? installRoot() : QString();
        for (const qint64 pid : processesIn(root))
            ::kill(pid_t(pid), SIGKILL);
        QVERIFY(QTest::qWaitFor([&] { return processesIn(root).isEmpty(); }, 10000));
        m_home.reset();
        m_notices.reset();
        QDBusConnection::disconnectFromBus(QStringLiteral("notices"));
        m_bus.reset();
        m_output.clear();
    }

    // Chromium keeps cookies in memory for a while: the quit a relaunch asks for must be the
    // browser's own, which writes them, sent to the browser process alone.
    void relaunchAsksOnlyTheBrowserAndKeepsItsCookies()
    {
        QVERIFY(startSession(m_realBuild));
        QProcess *browser = startBrowser(QStringLiteral("/cookies"));
        QVERIFY(browser);
        m_server.release(lastChange);
        QTRY_VERIFY_WITH_TIMEOUT(relaunchNotice() != 0, 90000);
        m_server.release(QStringLiteral("/when"));
        QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount(QStringLiteral("/ack")), 1, 10000);
        // The person clicks "Relaunch" a second after the page set its cookie.
        QTest::qWait(1000);
        const qint64 pid = browser->processId();
        QList<qint64> helpers = processesIn(version(oldBuild));
        QVERIFY(helpers.removeAll(pid) == 1 && !helpers.isEmpty());
        // Stopped, they keep the signals they are sent pending, to be seen.
        const QList<qint64> all = helpers + QList<qint64> { pid };
        for (const qint64 each : all)
            ::kill(pid_t(each), SIGSTOP);
        QTRY_VERIFY_WITH_TIMEOUT(std::all_of(all.begin(), all.end(), stopped), 10000);
        m_notices->invokeAction(relaunchNotice(), QStringLiteral("relaunch"));
        QTRY_VERIFY_WITH_TIMEOUT(signalled(pid), 10000);
        for (const qint64 helper : std::as_const(helpers))
            QVERIFY2(!signalled(helper),
                     read(QStringLiteral("/proc/%1/cmdline").arg(helper)).constData());
        for (const qint64 each : all)
            ::kill(pid_t(each), SIGCONT);
        QVERIFY(browser->waitForFinished(20000));
        // The relaunched browser restores the tab, which reports what it finds.
        const auto seen = [this] { return m_server.requests().filter(QStringLiteral("/seen")); };
        QTRY_VERIFY_WITH_TIMEOUT(seen().size() > 1, 30000);
        QCOMPARE(seen().at(1), QStringLiteral("/seen?kept=yes"));
        QVERIFY(!processesIn(version(newBuild)).isEmpty());
    }

    // A relaunch is a person's quit: a page the person used that asks to stay keeps the
    // browser open, and the program says why. Ended by SIGTERM, Chromium leaves its
    // SingletonLock naming a process that is gone: the profile is free, and the next
    // milestone's first start keeps a copy of it as it was.
    void pageThatAsksToStayThenSigtermBeforeTheNextMilestone()
    {
        QList<ArchiveBuilder::Entry> tree = ArchiveBuilder::chromeTree();
        tree[1].data = "#!/bin/sh\necho 'Chromium 999.0.1.0 snapshot'\n";
        QVERIFY(startSession(ArchiveBuilder::zip(tree)));
        QProcess *browser = startBrowser(QStringLiteral("/stay"));
        QVERIFY(browser);
        // Clicks until one reaches the page: it takes input some time after it loaded.
        QVERIFY(QTest::qWaitFor(
            [this] {
                return ProgramStarter::click({ 400, 400 }, 1) && m_server.requestCount("/clicked");
            },
            30000));
        m_server.release(lastChange);
        QTRY_VERIFY_WITH_TIMEOUT(relaunchNotice() != 0, 60000);
        m_notices->invokeAction(relaunchNotice(), QStringLiteral("relaunch"));
        QTRY_VERIFY_WITH_TIMEOUT(
            m_output.contains("did not quit") || browser->state() != QProcess::Running, 60000);
        QVERIFY2(browser->state() == QProcess::Running,
                 "the browser was ended although its page asked to stay");

        // It heeds one quitting signal only; build 100 is started again to be ended.
        ::kill(pid_t(browser->processId()), SIGKILL);
        QVERIFY(browser->waitForFinished(10000));
        browser = startBrowser(
            QStringLiteral("/stay"),
            QStringList { version(oldBuild) + "/chrome", "--user-data-dir=" + profile() }
                + QProcess::splitCommand(m_arguments));
        QVERIFY(browser);
        QTRY_COMPARE_WITH_TIMEOUT(m_server.requestCount(QStringLiteral("/loaded")), 2, 30000);
        QCOMPARE(::kill(pid_t(browser->processId()), SIGTERM), 0);
        QVERIFY(browser->waitForFinished(10000));
        QVERIFY2(QFileInfo(profile() + "/SingletonLock").isSymLink(),
                 "Chromium removed its lock on SIGTERM: nothing to check here");
        const QByteArray written = read(profile() + "/Last Version");
        QProcess *next = startBrowser(QStringLiteral("/stay"));
        QVERIFY(next && next->waitForFinished(30000) && !written.isEmpty());
        QCOMPARE(read(installRoot() + "/profile-snapshots/" + written.split('.').value(0)
                      + "/Last Version"),
                 written);
    }

private:
    // A home using build 100, whose storage offers `build` as 123456 once released, and the
    // program running in it, in the tray.
    bool startSession(const QByteArray &build)
    {
        m_home = std::make_unique<ProgramStarter>(QStringLiteral(TARROWIN_UNDER_TEST));
        m_home->setServer(m_server.url());
        m_home->setEnvironment(QStringLiteral("HOME"), m_home->root());
        m_home->setEnvironment(QStringLiteral("TARROWIN_TEST_BROWSER_ARGUMENTS"), m_arguments);
        if (!QDir().mkpath(installRoot() + "/versions")
            || !linkTree(m_files.filePath("chrome-linux"), version(oldBuild))
            || !QFile::link(QStringLiteral("versions/%1").arg(oldBuild),
                            installRoot() + "/current"))
            return false;
        QSettings settings(m_home->settingsFile(), QSettings::IniFormat);
        settings.setValue(QStringLiteral("CurrentBuild"), oldBuild);
        settings.sync();
        m_bus = std::make_unique<PrivateBus>(m_home->tempDir());
        m_notices = std::make_unique<NotificationServer>(
            QDBusConnection::connectToBus(m_bus->address(), QStringLiteral("notices")));
        m_home->setEnvironment(QStringLiteral("DBUS_SESSION_BUS_ADDRESS"), m_bus->address());
        m_server.clearRequests();
        m_server.setResponse(buildPath, { 200, {}, build });
        m_server.setResponse(lastChange, page(QByteArray::number(newBuild), true));
        m_server.setResponse(QStringLiteral("/when"), page({}, true));
        m_server.setResponse(QStringLiteral("/cookies"), page(cookiePage));
        m_server.setResponse(QStringLiteral("/stay"), page(stayingPage));
        QProcess *program = m_home->start({ QStringLiteral("/tray") }, QProcess::MergedChannels);
        connect(program, &QProcess::readyRead, this, [=] { m_output += program->readAll(); });
        return settings.status() == QSettings::NoError && m_notices->registered();
    }

    // The page in the launcher, as the menu entry runs it, or in command.
    QProcess *startBrowser(const QString &path, const QStringList &command = {})
    {
        const QString launcher = installRoot() + "/tarrowin-chromium";
        if (!QTest::qWaitFor([&] { return QFileInfo(launcher).isExecutable(); }, 20000))
            return nullptr;
        auto *browser = new QProcess(m_home.get());
        browser->setProcessEnvironment(m_home->environment());
        browser->setStandardOutputFile(QProcess::nullDevice());
        browser->setStandardErrorFile(QProcess::nullDevice());
        browser->start(command.value(0, launcher), command.mid(1) << m_server.url(path).toString());
        return browser->waitForStarted() ? browser : nullptr;
    }

    uint relaunchNotice() const
    {
        const QList<NotificationServer::Call> calls = m_notices->calls();
        const auto found = std::find_if(calls.begin(), calls.end(), [](const auto &call) {
            return call.actions.contains(QStringLiteral("relaunch"));
        });
        return found == calls.end() ? 0 : found->id;
    }

    static QByteArray read(const QString &path)
    {
        QFile file(path);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    static QByteArray status(qint64 pid)
    {
        return read(QStringLiteral("/proc/%1/status").arg(pid));
    }
    // Stopped, a process keeps what it is sent pending; once one of its threads is, all are.
    static bool stopped(qint64 pid) { return status(pid).contains("\nState:\tT"); }
    // Whether a stopped process holds a signal that ends or quits it, or ended all the same.
    static bool signalled(qint64 pid)
    {
        const QByteArray text = status(pid);
        const quint64 pending
            = text.mid(text.indexOf("ShdPnd:") + 7, 17).trimmed().toULongLong(nullptr, 16);
        return text.isEmpty() || text.contains("\nState:\tZ")
            || (pending & (1u << (SIGHUP - 1) | 1u << (SIGINT - 1) | 1u << (SIGTERM - 1)));
    }

    QString installRoot() const { return m_home->dataHome() + "/Quillmarsh/Tarrowin/chromium"; }
    QString version(int build) const
    {
        return installRoot() + "/versions/" + QString::number(build);
    }
    QString profile() const { return m_home->configHome() + "/tarrowin-chromium"; }

    TestEnvironment m_environment; // first: the folders below are its own
    QTemporaryDir m_files;
    QByteArray m_realBuild;
    QString m_arguments; // the launcher's, from the test seam
    LoopbackServer m_server;
    std::unique_ptr<ProgramStarter> m_home;
    std::unique_ptr<PrivateBus> m_bus;
    std::unique_ptr<NotificationServer> m_notices;
    QByteArray m_output; // the program's
};

QTEST_GUILESS_MAIN(TestRealChromium)
#include "tst_realchromium.moc"

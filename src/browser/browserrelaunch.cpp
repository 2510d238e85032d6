#include "browser/browserrelaunch.h"

#include "browser/browserlauncher.h"
#include "browser/profileguard.h"
#include "browser/singletonlock.h"
#include "common/updatelog.h"

#include <QDir>
#include <QFileInfo>
#include <QSocketNotifier>
#include <QtConcurrent/QtConcurrentRun>

#include <cerrno>

#ifdef Q_OS_LINUX
#include "common/descriptortree.h"

#include <csignal>
#include <poll.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

#if defined(Q_OS_LINUX) && defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
constexpr bool processHandles = true;

int openHandle(qint64 pid)
{
    return int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
}

// Chromium on Linux takes SIGINT and SIGHUP as a person's quit: the pages are asked whether
// they may close, and the profile is written out. SIGTERM is a session's end.
bool signalToQuit(int handle)
{
    return ::syscall(SYS_pidfd_send_signal, handle, SIGINT, nullptr, 0) == 0;
}

// A process handle is readable once its process has ended.
bool stillRuns(int handle)
{
    pollfd entry { handle, POLLIN, 0 };
    return ::poll(&entry, 1, 0) == 0;
}

bool ownedByUs(int process)
{
    struct stat status;
    return ::fstat(process, &status) == 0 && status.st_uid == ::getuid();
}

void closeHandle(int handle)
{
    ::close(handle);
}
#else
// Without process handles a signal could reach a process that merely took over a pid.
constexpr bool processHandles = false;
int openHandle(qint64)
{
    return -1;
}
bool signalToQuit(int)
{
    return false;
}
bool stillRuns(int)
{
    return false;
}
bool ownedByUs(int)
{
    return false;
}
void closeHandle(int)
{
}
#endif

} // namespace

BrowserRelaunch::BrowserRelaunch(QObject *parent)
    : BrowserRelaunch(InstallRoot(InstallRoot::defaultPath()), parent)
{
}

BrowserRelaunch::BrowserRelaunch(const InstallRoot &root, QObject *parent)
    : QObject(parent)
    , m_root(root)
{
    m_limit.setSingleShot(true);
    m_limit.setInterval(defaultQuitTimeout);
    connect(&m_limit, &QTimer::timeout, this, [this] { finish(false); });
    connect(&m_protection, &QFutureWatcher<void>::finished, this, &BrowserRelaunch::startCurrent);
}

BrowserRelaunch::~BrowserRelaunch()
{
    m_cancel = true;
    m_protection.waitForFinished();
    if (m_waiting) {
        m_waiting->setEnabled(false);
        closeHandle(int(m_waiting->socket()));
    }
}

bool BrowserRelaunch::isOutdatedBrowser(int process) const
{
    const int current = m_root.currentBuild();
    const QString versions
        = QFileInfo(m_root.path() + QStringLiteral("/versions")).canonicalFilePath();
    if (current == -1 || versions.isEmpty() || !processHandles || !ownedByUs(process))
        return false;
#ifdef Q_OS_LINUX
    const QString currentChrome
        = QFileInfo(m_root.versionPath(current)).canonicalFilePath() + QStringLiteral("/chrome");
    // versions/<N>/chrome itself: the crash handler and other programs of a build are no
    // browsers.
    const QString executable = SingletonLock::browserExecutable(process);
    const QFileInfo info(executable);
    const bool chosen = current == m_chosenBeside
        && executable
            == QFileInfo(m_root.versionPath(m_chosenBuild)).canonicalFilePath()
                + QStringLiteral("/chrome");
    return info.fileName() == QLatin1String("chrome") && executable != currentChrome && !chosen
        && QFileInfo(info.path()).path() == versions;
#else
    return false;
#endif
}

qint64 BrowserRelaunch::outdatedBrowser() const
{
#ifdef Q_OS_LINUX
    const qint64 pid = SingletonLock(BrowserLauncher::profile()).pid();
    const DescriptorTree::Fd process(pid > 0 ? SingletonLock::openProcess(pid) : -1);
    return process.valid() && isOutdatedBrowser(process.get()) ? pid : 0;
#else
    return 0;
#endif
}

void BrowserRelaunch::leaveAlone(int build)
{
    m_chosenBuild = build;
    m_chosenBeside = m_root.currentBuild();
}

void BrowserRelaunch::refresh()
{
    const bool outdated = outdatedBrowser() != 0;
    if (outdated == m_outdated)
        return;
    m_outdated = outdated;
    emit outdatedChanged(outdated);
}

bool BrowserRelaunch::askToQuit(qint64 pid)
{
    // The handle names one process for good, and the signal goes through it. What /proc shows
    // after it was taken is of that process for as long as it still runs when signalled: a
    // pid taken over meanwhile is another process, which the handle does not reach.
    const int handle = openHandle(pid);
    if (handle < 0)
        return errno == ESRCH; // ended already
#ifdef Q_OS_LINUX
    const DescriptorTree::Fd process(SingletonLock::openProcess(pid));
    const bool browser = process.valid() && isOutdatedBrowser(process.get());
#else
    const bool browser = false;
#endif
    if (stillRuns(handle) && browser && signalToQuit(handle)) {
        m_waiting = new QSocketNotifier(handle, QSocketNotifier::Read, this);
        connect(m_waiting, &QSocketNotifier::activated, this, &BrowserRelaunch::exited);
        qCInfo(lcUpdate) << "Asked 1 browser to quit for a relaunch, process" << pid;
        return true;
    }
    // Ended, or its pid is another process's now: either way the browser is gone.
    const bool gone = !browser || !stillRuns(handle);
    closeHandle(handle);
    return gone;
}

bool BrowserRelaunch::relaunch()
{
    if (relaunching())
        return false;
    const qint64 pid = outdatedBrowser();
    if (pid == 0) {
        refresh();
        return false;
    }
    const bool asked = askToQuit(pid);
    m_limit.start();
    emit relaunchingChanged();
    // Ended before it was asked: the relaunch goes on at once.
    if (!asked || !m_waiting)
        finish(asked);
    return true;
}

void BrowserRelaunch::exited()
{
    finish(true);
}

void BrowserRelaunch::finish(bool quit)
{
    m_limit.stop();
    if (m_waiting) {
        m_waiting->setEnabled(false);
        closeHandle(int(m_waiting->socket()));
        m_waiting->deleteLater();
        m_waiting = nullptr;
    }
    if (quit) {
        // The profile is free now: the last chance to keep it as the older milestone left it.
        // The relaunch goes on once that is done, whatever came of it.
        m_protecting = true;
        m_protection.setFuture(
            QtConcurrent::run([root = m_root, profile = BrowserLauncher::profile(), this] {
                ProfileGuard::protect(root, profile, &m_cancel);
            }));
        return;
    }
    qCWarning(lcUpdate) << "The browser did not quit: it was not relaunched";
    emit relaunchingChanged();
    emit relaunchFinished(false, false);
    refresh();
}

void BrowserRelaunch::startCurrent()
{
    m_protecting = false;
    const bool started
        = BrowserLauncher::start(m_root, { QStringLiteral("--restore-last-session") });
    if (!started)
        qCWarning(lcUpdate) << "Could not start" << BrowserLauncher::path(m_root);
    emit relaunchingChanged();
    emit relaunchFinished(true, started);
    refresh();
}

#include "install/browserrelaunch.h"

#include "common/updatelog.h"
#include "install/browserlauncher.h"
#include "install/profileguard.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>
#include <QtConcurrent/QtConcurrentRun>

#include <algorithm>

#ifdef Q_OS_LINUX
#include <csignal>
#include <sys/syscall.h>
#include <unistd.h>
#endif

namespace {

#if defined(Q_OS_LINUX) && defined(SYS_pidfd_open) && defined(SYS_pidfd_send_signal)
constexpr bool processHandles = true;

int openProcess(qint64 pid)
{
    return int(::syscall(SYS_pidfd_open, pid_t(pid), 0));
}

bool askToQuit(int handle)
{
    return ::syscall(SYS_pidfd_send_signal, handle, SIGTERM, nullptr, 0) == 0;
}

bool ownedByUs(const QString &processDir)
{
    return QFileInfo(processDir).ownerId() == ::getuid();
}

void closeHandle(int handle)
{
    ::close(handle);
}
#else
// Without process handles a signal could reach a process that merely took over a pid.
constexpr bool processHandles = false;
int openProcess(qint64)
{
    return -1;
}
bool askToQuit(int)
{
    return false;
}
bool ownedByUs(const QString &)
{
    return false;
}
void closeHandle(int)
{
}
#endif

const QString procRoot = QStringLiteral("/proc");

QString executableOf(qint64 pid)
{
    return QFile::symLinkTarget(procRoot + QLatin1Char('/') + QString::number(pid)
                                + QStringLiteral("/exe"));
}

// Chromium's renderers, zygotes and utilities run the same chrome with a --type= switch;
// the browser process has none.
bool isBrowserProcess(qint64 pid)
{
    QFile file(procRoot + QLatin1Char('/') + QString::number(pid) + QStringLiteral("/cmdline"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    const QList<QByteArray> arguments = file.readAll().split('\0');
    return std::none_of(arguments.begin(), arguments.end(),
                        [](const QByteArray &argument) { return argument.startsWith("--type="); });
}

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
    for (QSocketNotifier *notifier : std::as_const(m_waiting)) {
        notifier->setEnabled(false);
        closeHandle(int(notifier->socket()));
    }
}

QList<BrowserRelaunch::Browser> BrowserRelaunch::outdatedBrowsers() const
{
    QList<Browser> browsers;
    const int current = m_root.currentBuild();
    const QString versions
        = QFileInfo(m_root.path() + QStringLiteral("/versions")).canonicalFilePath();
    if (current == -1 || versions.isEmpty() || !processHandles)
        return browsers;
    const QString currentChrome
        = QFileInfo(m_root.versionPath(current)).canonicalFilePath() + QStringLiteral("/chrome");
    const QStringList entries = QDir(procRoot).entryList(QDir::Dirs | QDir::NoDotAndDotDot);
    for (const QString &entry : entries) {
        bool numeric = false;
        const qint64 pid = entry.toLongLong(&numeric);
        if (!numeric || !ownedByUs(procRoot + QLatin1Char('/') + entry))
            continue;
        // versions/<N>/chrome itself: the crash handler and other programs of a build are
        // not browsers.
        const QString executable = executableOf(pid);
        const QFileInfo info(executable);
        if (info.fileName() != QLatin1String("chrome") || executable == currentChrome
            || QFileInfo(info.path()).path() != versions || !isBrowserProcess(pid))
            continue;
        browsers.append({ pid, executable });
    }
    return browsers;
}

void BrowserRelaunch::refresh()
{
    const bool outdated = !outdatedBrowsers().isEmpty();
    if (outdated == m_outdated)
        return;
    m_outdated = outdated;
    emit outdatedChanged(outdated);
}

bool BrowserRelaunch::relaunch()
{
    if (relaunching())
        return false;
    const QList<Browser> browsers = outdatedBrowsers();
    if (browsers.isEmpty()) {
        refresh();
        return false;
    }
    for (const Browser &browser : browsers) {
        const int handle = openProcess(browser.pid);
        if (handle < 0)
            continue;
        // The handle names one process for good: once it is held, a look at what that pid
        // runs is a look at the process the signal will reach, not at a successor.
        if (executableOf(browser.pid) != browser.executable || !askToQuit(handle)) {
            closeHandle(handle);
            continue;
        }
        auto *notifier = new QSocketNotifier(handle, QSocketNotifier::Read, this);
        connect(notifier, &QSocketNotifier::activated, this,
                [this, notifier] { exited(notifier); });
        m_waiting.append(notifier);
    }
    qCInfo(lcUpdate) << "Asked" << m_waiting.size() << "browser(s) to quit for a relaunch";
    m_limit.start();
    emit relaunchingChanged();
    if (m_waiting.isEmpty())
        finish(true);
    return true;
}

void BrowserRelaunch::exited(QSocketNotifier *notifier)
{
    m_waiting.removeOne(notifier);
    notifier->setEnabled(false);
    closeHandle(int(notifier->socket()));
    notifier->deleteLater();
    if (m_waiting.isEmpty())
        finish(true);
}

void BrowserRelaunch::finish(bool quit)
{
    m_limit.stop();
    for (QSocketNotifier *notifier : std::as_const(m_waiting)) {
        notifier->setEnabled(false);
        closeHandle(int(notifier->socket()));
        notifier->deleteLater();
    }
    m_waiting.clear();
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
    qCWarning(lcUpdate) << "A browser did not quit: it was not relaunched";
    emit relaunchingChanged();
    emit relaunchFinished(false, false);
    refresh();
}

void BrowserRelaunch::startCurrent()
{
    m_protecting = false;
    const QString launcher = BrowserLauncher::path(m_root);
    const bool started = QProcess::startDetached(
        launcher, { QStringLiteral("--restore-last-session") }, QDir::homePath());
    if (!started)
        qCWarning(lcUpdate) << "Could not start" << launcher;
    emit relaunchingChanged();
    emit relaunchFinished(true, started);
    refresh();
}

#include "browser/singletonlock.h"

#include <QByteArray>
#include <QFile>
#include <QFileInfo>
#include <QList>

#ifdef Q_OS_LINUX
#include "common/descriptortree.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <unistd.h>
#endif

#ifdef Q_OS_LINUX

namespace {

// A browser's command line is a few KiB; no more is read of anything a lock names.
constexpr qsizetype commandLineLimit = 1 << 20;

QByteArray hostName()
{
    char name[HOST_NAME_MAX + 1] = {};
    return ::gethostname(name, sizeof name - 1) == 0 ? QByteArray(name) : QByteArray();
}

bool allDigits(const QByteArray &text)
{
    return !text.isEmpty() && text.size() < 10
        && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Chromium's helpers run the browser's executable with a --type= switch. The browser keeps
// its arguments apart, but the helpers set their title over them, one string with spaces
// ("<executable> --type=renderer …"); only there is the switch looked for inside a string, so
// a link the browser was asked to open that holds " --type=" does not make it a helper.
bool isHelper(const QByteArray &commandLine)
{
    QList<QByteArray> arguments = commandLine.split('\0');
    arguments.removeAll(QByteArray());
    if (arguments.size() == 1)
        return arguments.first().contains(" --type=");
    return std::any_of(arguments.begin(), arguments.end(),
                       [](const QByteArray &argument) { return argument.startsWith("--type="); });
}

// As Chromium tells a browser by its executable's name: every build installed here runs
// "chrome", Debian's Chromium "chromium".
bool namedAsBrowser(const QString &executable)
{
    const QString name = QFileInfo(executable).fileName();
    return name == QLatin1String("chrome") || name == QLatin1String("chromium")
        || name == QLatin1String("chromium-browser");
}

} // namespace

SingletonLock::SingletonLock(const QString &profile)
{
    char target[PATH_MAX];
    const ssize_t length
        = ::readlink(QFile::encodeName(profile + QStringLiteral("/SingletonLock")).constData(),
                     target, sizeof target);
    if (length < 0 || length == ssize_t(sizeof target)) {
        m_kind = length < 0 && errno == ENOENT ? Kind::None : Kind::Unknown;
        return;
    }
    const QByteArray text(target, length);
    const qsizetype dash = text.lastIndexOf('-');
    const QByteArray host = dash > 0 ? text.left(dash) : QByteArray();
    const QByteArray pid = dash > 0 ? text.mid(dash + 1) : QByteArray();
    if (!host.isEmpty() && host != hostName())
        m_kind = Kind::OtherHost;
    else if (host.isEmpty() || !allDigits(pid) || pid.toLongLong() <= 0)
        m_kind = Kind::None; // Chromium replaces a lock it cannot read a process from
    else {
        m_kind = Kind::ThisHost;
        m_pid = pid.toLongLong();
    }
}

bool SingletonLock::held() const
{
    if (m_kind != Kind::ThisHost)
        return m_kind != Kind::None;
    const DescriptorTree::Fd process(openProcess(m_pid));
    return process.valid() && namedAsBrowser(browserExecutable(process.get()));
}

int SingletonLock::openProcess(qint64 pid)
{
    return ::open(QByteArray("/proc/" + QByteArray::number(pid)).constData(),
                  O_RDONLY | O_DIRECTORY | O_CLOEXEC);
}

QString SingletonLock::browserExecutable(int process)
{
    char target[PATH_MAX];
    const ssize_t length = ::readlinkat(process, "exe", target, sizeof target);
    if (length <= 0 || length == ssize_t(sizeof target))
        return QString();
    QByteArray executable(target, length);
    // An executable replaced since it started (a package upgrade) is shown so.
    const QByteArray replaced(" (deleted)");
    if (executable.endsWith(replaced))
        executable.chop(replaced.size());
    const DescriptorTree::Fd file(::openat(process, "cmdline", O_RDONLY | O_CLOEXEC));
    QByteArray commandLine;
    char buffer[65536];
    ssize_t got = 0;
    while (file.valid() && commandLine.size() < commandLineLimit
           && (got = ::read(file.get(), buffer, sizeof buffer)) > 0)
        commandLine.append(buffer, got);
    // Unreadable: the process ended meanwhile (and the pid may be another's now).
    if (!file.valid() || got < 0 || commandLine.isEmpty() || isHelper(commandLine))
        return QString();
    return QFile::decodeName(executable);
}

#else

SingletonLock::SingletonLock(const QString &)
{
}

// Elsewhere a profile is taken as held: nothing here can tell.
bool SingletonLock::held() const
{
    return true;
}

#endif

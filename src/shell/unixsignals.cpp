#include "shell/unixsignals.h"

#include <QSocketNotifier>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace {

const int handledSignals[] = { SIGTERM, SIGINT, SIGHUP };

// The one piece of process-wide state: a signal handler receives nothing but the signal
// number, so the socket it writes to has to be reachable without an object. Only
// write(2) is safe in a handler; the event loop reads the other end. At most one
// UnixSignals owns the pair, so the handler never writes to a closed descriptor.
int signalSockets[2] = { -1, -1 };

void handleSignal(int signal)
{
    const int savedErrno = errno;
    const char byte = char(signal);
    // Non-blocking: if the buffer is full, requests are pending anyway.
    [[maybe_unused]] const auto written = ::write(signalSockets[0], &byte, 1);
    errno = savedErrno;
}

} // namespace

UnixSignals::UnixSignals(QObject *parent)
    : QObject(parent)
{
    if (signalSockets[0] != -1) {
        qWarning("UnixSignals: only one instance may exist in a process");
        return;
    }
    if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, signalSockets) != 0) {
        signalSockets[0] = signalSockets[1] = -1;
        qWarning("UnixSignals: socketpair failed");
        return;
    }
    ::fcntl(signalSockets[0], F_SETFL, ::fcntl(signalSockets[0], F_GETFL) | O_NONBLOCK);
    m_notifier = new QSocketNotifier(signalSockets[1], QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &UnixSignals::readSignal);

    struct sigaction action = {};
    action.sa_handler = handleSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (const int signal : handledSignals) {
        // A signal ignored by whoever started us (nohup ignores SIGHUP) stays ignored.
        struct sigaction previous = {};
        if (::sigaction(signal, nullptr, &previous) == 0 && previous.sa_handler == SIG_IGN)
            continue;
        ::sigaction(signal, &action, nullptr);
    }
}

UnixSignals::~UnixSignals()
{
    if (!m_notifier)
        return;
    struct sigaction action = {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    for (const int signal : handledSignals) {
        struct sigaction current = {};
        if (::sigaction(signal, nullptr, &current) == 0 && current.sa_handler == handleSignal)
            ::sigaction(signal, &action, nullptr);
    }
    delete m_notifier;
    ::close(signalSockets[0]);
    ::close(signalSockets[1]);
    signalSockets[0] = signalSockets[1] = -1;
}

void UnixSignals::readSignal()
{
    char byte = 0;
    if (::read(signalSockets[1], &byte, 1) == 1)
        emit terminationRequested(int(static_cast<unsigned char>(byte)));
}

#else

UnixSignals::UnixSignals(QObject *parent)
    : QObject(parent)
{
}

UnixSignals::~UnixSignals() = default;

void UnixSignals::readSignal()
{
}

#endif

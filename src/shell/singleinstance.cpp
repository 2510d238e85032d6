#include "shell/singleinstance.h"

#include <QDeadlineTimer>
#include <QLocalServer>
#include <QLocalSocket>
#include <QLockFile>
#include <QStandardPaths>
#include <QThread>
#include <QTimer>

namespace {
const QByteArray showMessage = QByteArrayLiteral("show\n");
const QByteArray jobPrefix = QByteArrayLiteral("job ");

// The lock is taken a moment before the server listens, so a start racing with the first
// one may find nothing yet; it tries again until the deadline.
bool connectWithin(QLocalSocket &socket, const QString &path, const QDeadlineTimer &deadline)
{
    while (!deadline.hasExpired()) {
        socket.connectToServer(path);
        if (socket.waitForConnected(int(deadline.remainingTime())))
            return true;
        QThread::msleep(50);
    }
    return false;
}

} // namespace

QString SingleInstance::defaultDirectory()
{
    return QStandardPaths::writableLocation(QStandardPaths::RuntimeLocation);
}

SingleInstance::SingleInstance(const QString &directory, QObject *parent)
    : QObject(parent)
    , m_directory(directory)
{
}

// Out of line: QLockFile is incomplete in the header.
SingleInstance::~SingleInstance() = default;

QString SingleInstance::lockPath() const
{
    return m_directory + QStringLiteral("/tarrowin.lock");
}

QString SingleInstance::serverPath() const
{
    return m_directory + QStringLiteral("/tarrowin.socket");
}

bool SingleInstance::isLocked() const
{
    return m_lock && m_lock->isLocked();
}

bool SingleInstance::acquire()
{
    if (isLocked())
        return true;
    if (m_directory.isEmpty()) {
        qWarning("No runtime directory: running without the single-instance guard");
        return true;
    }
    auto lock = std::make_unique<QLockFile>(lockPath());
    // Only a dead owner makes a lock stale: an instance may rightly run for weeks.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(100)) {
        if (lock->error() == QLockFile::LockFailedError)
            return false;
        qWarning("Cannot create %s: running without the single-instance guard",
                 qPrintable(lockPath()));
        return true;
    }
    m_lock = std::move(lock);

    // The socket file of a dead instance would make listen() fail; with the lock ours,
    // nobody else is using it.
    QLocalServer::removeServer(serverPath());
    m_server = new QLocalServer(this);
    m_server->setSocketOptions(QLocalServer::UserAccessOption);
    connect(m_server, &QLocalServer::newConnection, this, &SingleInstance::accept);
    if (!m_server->listen(serverPath()))
        qWarning("Cannot listen on %s: %s", qPrintable(serverPath()),
                 qPrintable(m_server->errorString()));
    return true;
}

void SingleInstance::release()
{
    delete m_server;
    m_server = nullptr;
    m_lock.reset();
}

void SingleInstance::accept()
{
    while (QLocalSocket *socket = m_server->nextPendingConnection()) {
        connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QLocalSocket::readyRead, this, [this, socket] { readMessage(socket); });
        // A client that never finishes its line is not allowed to linger.
        auto *limit = new QTimer(socket);
        limit->setSingleShot(true);
        connect(limit, &QTimer::timeout, socket, [socket] {
            socket->abort();
            socket->deleteLater();
        });
        limit->start(clientTimeoutMs);
        readMessage(socket);
    }
}

void SingleInstance::readMessage(QLocalSocket *socket)
{
    if (!socket->canReadLine()) {
        if (socket->bytesAvailable() >= maximumMessageSize) {
            socket->abort();
            socket->deleteLater();
        }
        return;
    }
    const QByteArray line = socket->readLine(maximumMessageSize);
    // One message per connection; whatever it was, the client is done.
    socket->disconnect(this);
    if (line.startsWith(jobPrefix) && line.endsWith('\n')) {
        // A job may take as long as a download: the client waits for its answer.
        delete socket->findChild<QTimer *>();
        emit jobRequested(line.mid(jobPrefix.size()).chopped(1), socket);
        return;
    }
    socket->abort();
    socket->deleteLater();
    if (line == showMessage)
        emit showRequested();
}

int SingleInstance::forwardJob(const QByteArray &job, const LineSink &sink) const
{
    QDeadlineTimer deadline(notifyTimeoutMs);
    QLocalSocket socket;
    if (!connectWithin(socket, serverPath(), deadline))
        return -1;
    socket.write(jobPrefix + job.left(maximumMessageSize - jobPrefix.size() - 1) + '\n');
    deadline.setRemainingTime(jobTimeoutMs);
    while (!deadline.hasExpired()) {
        while (socket.canReadLine()) {
            const QByteArray line = socket.readLine().chopped(1);
            const QByteArray kind = line.left(line.indexOf(' '));
            const QByteArray text = line.mid(kind.size() + 1);
            if (kind == "exit")
                return text.toInt();
            sink(kind, text);
        }
        if (socket.state() != QLocalSocket::ConnectedState && !socket.bytesAvailable())
            break;
        socket.waitForReadyRead(1000);
    }
    sink("err", tr("The running Tarrowin ended before the job did").toLocal8Bit());
    return 1;
}

bool SingleInstance::notifyRunning() const
{
    const QDeadlineTimer deadline(notifyTimeoutMs);
    QLocalSocket socket;
    if (!connectWithin(socket, serverPath(), deadline))
        return false;
    socket.write(showMessage);
    const bool written
        = socket.waitForBytesWritten(int(qMax<qint64>(deadline.remainingTime(), 100)));
    socket.disconnectFromServer();
    return written;
}

#pragma once

#include <QObject>
#include <QString>

#include <functional>
#include <memory>

class QLocalServer;
class QLocalSocket;
class QLockFile;

// Keeps one Tarrowin per user session: two would download and install side by side. The
// first start holds a lock file in the runtime directory and listens on a local socket
// beside it; a later start hands its request to the first over that socket and quits.
class SingleInstance : public QObject
{
    Q_OBJECT

public:
    // Bounds on what a client may cost the running instance.
    static constexpr int clientTimeoutMs = 2000;
    static constexpr int maximumMessageSize = 256;
    // How long a job handed to the running instance may take, a build's download included.
    static constexpr int jobTimeoutMs = 3600000;
    // How long a later start keeps trying to reach an instance that is still starting.
    static constexpr int notifyTimeoutMs = 2000;

    // QStandardPaths' runtime location; empty when there is no usable one.
    static QString defaultDirectory();

    explicit SingleInstance(const QString &directory = defaultDirectory(),
                            QObject *parent = nullptr);
    ~SingleInstance() override;

    // False only when another live instance holds the lock. Without a usable runtime
    // directory the program runs unguarded (true, but isLocked() is false) rather than
    // never starting at all.
    bool acquire();
    // Whether this object holds the lock: only then may a start-up remove what earlier
    // runs left behind.
    bool isLocked() const;
    // Gives up the lock and the socket, so that a successor can take them.
    void release();

    // Asks the running instance to show its window. Blocks for at most notifyTimeoutMs;
    // false when nothing took the message.
    bool notifyRunning() const;
    // Hands a script's job to the running instance and passes on what it answers, line by line
    // (kind "out" or "err"). Its exit code; -1 when nothing took the job.
    using LineSink = std::function<void(const QByteArray &kind, const QByteArray &text)>;
    int forwardJob(const QByteArray &job, const LineSink &sink) const;

    QString lockPath() const;
    QString serverPath() const;

signals:
    void showRequested();
    // A later start asks for a job; the answer goes to reply as "out ...", "err ..." and
    // "exit N" lines. reply deletes itself once the client has gone.
    void jobRequested(const QByteArray &job, QLocalSocket *reply);

private:
    void accept();
    void readMessage(QLocalSocket *socket);

    QString m_directory;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer *m_server = nullptr;
};

#pragma once

#include <QByteArray>
#include <QObject>
#include <QProcess>

// Runs a downloaded installer without arguments. Its output goes to the null device and only
// the tail of its errors is kept, for the log: an installer that prints without end must not
// pile up in our memory. Exit code 0 means installed.
class InstallerRun : public QObject
{
    Q_OBJECT

public:
    // What is kept of an installer's error output for the log.
    static constexpr qint64 errorTail = 4096;

    explicit InstallerRun(QObject *parent = nullptr);
    // Leaves a running installer to finish on its own: killing it half-way can leave the
    // browser broken.
    ~InstallerRun() override;

    void start(const QString &program);
    bool isRunning() const { return m_process != nullptr; }
    // Why the last run installed nothing, in words a user can act on; empty after exit code 0.
    QString problem() const { return m_problem; }

signals:
    // The installer exited, crashed or could not be started (-1 then).
    void finished(int exitCode);

private:
    void readErrors();
    void exited(int exitCode, QProcess::ExitStatus status);
    void startFailed(QProcess::ProcessError error);
    void end(int exitCode, const QString &problem);

    QProcess *m_process = nullptr;
    QByteArray m_errors;
    QString m_problem;
};

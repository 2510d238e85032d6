#include "install/installerrun.h"

#include "common/updatelog.h"

InstallerRun::InstallerRun(QObject *parent)
    : QObject(parent)
{
}

InstallerRun::~InstallerRun()
{
    if (!m_process)
        return;
    // Its outcome is unknown, so nothing is recorded; the next start's check decides again.
    qCWarning(lcUpdate) << "Leaving the installer" << m_process->program()
                        << "to finish on its own";
    m_process->disconnect(this);
    m_process->setParent(nullptr);
    // Kept reachable, never deleted: this is the program's end, and the installer goes on.
    static QList<QProcess *> *const orphans = new QList<QProcess *>;
    orphans->append(m_process);
}

void InstallerRun::start(const QString &program)
{
    m_errors.clear();
    m_problem.clear();
    m_process = new QProcess(this);
    m_process->setStandardOutputFile(QProcess::nullDevice());
    connect(m_process, &QProcess::finished, this, &InstallerRun::exited);
    connect(m_process, &QProcess::errorOccurred, this, &InstallerRun::startFailed);
    connect(m_process, &QProcess::readyReadStandardError, this, &InstallerRun::readErrors);
    qCInfo(lcUpdate) << "Running the installer" << program;
    m_process->start(program, QStringList());
}

void InstallerRun::readErrors()
{
    m_errors += m_process->readAllStandardError();
    if (m_errors.size() > errorTail)
        m_errors.remove(0, m_errors.size() - errorTail);
}

void InstallerRun::startFailed(QProcess::ProcessError error)
{
    // A process that never started reports no exit; every other error is followed by one.
    if (error == QProcess::FailedToStart)
        end(-1, tr("The installer could not be started: %1").arg(m_process->errorString()));
}

void InstallerRun::exited(int exitCode, QProcess::ExitStatus status)
{
    readErrors();
    const bool crashed = status != QProcess::NormalExit;
    qCInfo(lcUpdate) << "Installer" << (crashed ? "crashed" : "exited with") << exitCode;
    if (!m_errors.isEmpty())
        qCWarning(lcUpdate).noquote() << "Installer errors:" << QString::fromLocal8Bit(m_errors);
    end(exitCode,
        crashed             ? tr("The installer crashed")
            : exitCode != 0 ? tr("The installer failed with exit code %1").arg(exitCode)
                            : QString());
}

void InstallerRun::end(int exitCode, const QString &problem)
{
    m_problem = problem;
    m_errors.clear();
    m_process->disconnect(this);
    m_process->deleteLater();
    m_process = nullptr;
    emit finished(exitCode);
}

#include "shell/bisectjob.h"

#include "install/installroot.h"
#include "shell/bisectsession.h"

#include <QProcess>
#include <QTimer>

#include <utility>

BisectJob::BisectJob(QObject *parent)
    : QObject(parent)
    , m_session(new BisectSession(InstallRoot(InstallRoot::defaultPath()), this))
{
    connect(m_session, &BisectSession::stepReady, this, &BisectJob::runStep);
    connect(m_session, &BisectSession::failed, this, &BisectJob::fail);
    connect(m_session, &BisectSession::found, this,
            [this](int lastGood, int firstBad, const QString &, const QUrl &changeLog) {
                emit output(
                    tr("First bad build: %1 (last good build: %2)").arg(firstBad).arg(lastGood),
                    false);
                emit output(changeLog.toString(), false);
                const QString problem = m_session->end();
                if (!problem.isEmpty())
                    emit output(problem, true);
                if (!std::exchange(m_ended, true))
                    emit finished(0);
            });
}

void BisectJob::start(const QString &range, const QString &command)
{
    m_command = command;
    // Once whoever waits for the end is waiting.
    QTimer::singleShot(0, this, [this, range] {
        if (m_command.trimmed().isEmpty())
            return fail(tr("--bisect needs --bisect-run=COMMAND, run for each step"));
        m_session->start(range);
    });
}

void BisectJob::runStep(int build, const QString &browser)
{
    m_process = new QProcess(this);
    // What the command prints is no step line: it goes to the error output.
    m_process->setProcessChannelMode(QProcess::MergedChannels);
    m_process->setStandardInputFile(QProcess::nullDevice());
    connect(m_process, &QProcess::readyReadStandardOutput, this, [this] {
        while (m_process->canReadLine())
            emit output(QString::fromLocal8Bit(m_process->readLine()).trimmed(), true);
    });
    connect(m_process, &QProcess::finished, this,
            [this, build](int exitCode, QProcess::ExitStatus status) {
                const QString rest = QString::fromLocal8Bit(m_process->readAll()).trimmed();
                if (!rest.isEmpty())
                    emit output(rest, true);
                m_process->deleteLater();
                m_process = nullptr;
                stepEnded(build, exitCode, status != QProcess::NormalExit);
            });
    connect(m_process, &QProcess::errorOccurred, this, [this](QProcess::ProcessError error) {
        if (error != QProcess::FailedToStart)
            return;
        const QString why = m_process->errorString();
        m_process->deleteLater();
        m_process = nullptr;
        fail(tr("The command could not be started: %1").arg(why));
    });
    m_process->start(QStringLiteral("/bin/sh"),
                     { QStringLiteral("-c"), substituted(m_command, browser, build) });
}

void BisectJob::stepEnded(int build, int exitCode, bool crashed)
{
    const std::optional<BisectRange::Verdict> judged = crashed ? std::nullopt : verdict(exitCode);
    if (!judged)
        return fail(tr("The command ended the bisect at build %1 (exit code %2); run the same "
                       "--bisect again to go on")
                        .arg(build)
                        .arg(crashed ? abortCode : exitCode));
    const char *words[] = { "good", "bad", "skip" };
    emit output(tr("Build %1: %2").arg(build).arg(QLatin1String(words[*judged])), false);
    m_session->judge(*judged);
}

void BisectJob::fail(const QString &error)
{
    if (std::exchange(m_ended, true))
        return;
    emit output(error, true);
    emit finished(1);
}

std::optional<BisectRange::Verdict> BisectJob::verdict(int exitCode)
{
    if (exitCode == 0)
        return BisectRange::Good;
    if (exitCode == skipCode)
        return BisectRange::Skip;
    if (exitCode > 0 && exitCode < abortCode)
        return BisectRange::Bad;
    return std::nullopt;
}

QString BisectJob::shellQuoted(const QString &text)
{
    QString quoted = text;
    quoted.replace(QLatin1Char('\''), QStringLiteral("'\\''"));
    return QLatin1Char('\'') + quoted + QLatin1Char('\'');
}

QString BisectJob::substituted(const QString &command, const QString &browser, int build)
{
    QString result;
    for (qsizetype i = 0; i < command.size(); ++i) {
        const QChar next = i + 1 < command.size() ? command.at(i + 1) : QChar();
        if (command.at(i) == QLatin1Char('%') && next == QLatin1Char('p')) {
            result += shellQuoted(browser);
            ++i;
        } else if (command.at(i) == QLatin1Char('%') && next == QLatin1Char('b')) {
            result += shellQuoted(QString::number(build));
            ++i;
        } else {
            result += command.at(i);
        }
    }
    return result;
}

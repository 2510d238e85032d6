#pragma once

#include "update/bisectrange.h"

#include <QObject>
#include <QString>

#include <optional>

class BisectSession;
class QProcess;

// --bisect with --bisect-run, done alone or by the running instance: the command is run for
// each step, through /bin/sh, with %p standing for the step's browser and %b for its build
// number, both quoted for the shell. Its exit code is the verdict, as `git bisect run` reads
// it: 0 good, 125 skip, 1 to 127 bad, 128 and above (or a command killed) ends the bisect.
class BisectJob : public QObject
{
    Q_OBJECT

public:
    static constexpr int skipCode = 125;
    static constexpr int abortCode = 128;

    explicit BisectJob(QObject *parent = nullptr);

    // Reports its lines with output() and its end with finished(), once.
    void start(const QString &range, const QString &command);

    // The command with %p and %b replaced by browser and build, each quoted for the shell.
    static QString substituted(const QString &command, const QString &browser, int build);
    static QString shellQuoted(const QString &text);
    // The verdict an exit code gives; none for an abort.
    static std::optional<BisectRange::Verdict> verdict(int exitCode);

signals:
    void output(const QString &line, bool error);
    void finished(int exitCode);

private:
    void runStep(int build, const QString &browser);
    void stepEnded(int build, int exitCode, bool crashed);
    void fail(const QString &error);

    BisectSession *m_session;
    QProcess *m_process = nullptr;
    QString m_command;
    bool m_ended = false;
};

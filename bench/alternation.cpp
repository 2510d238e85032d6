#include "alternation.h"

#include <QProcess>

#include <algorithm>
#include <cstdio>

#include <unistd.h>

Alternation::Alternation(Contender ours, Contender reference)
    : m_ourContender(std::move(ours))
    , m_referenceContender(std::move(reference))
{
}

bool Alternation::run(int rounds, const QByteArray &ourName, const QByteArray &referenceName)
{
    for (int round = 1; round <= rounds; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool oursNow = (round + turn) % 2 == 1;
            // No write-back left over from the run before: neither pays for the other's data.
            ::sync();
            const Run result = oursNow ? m_ourContender() : m_referenceContender();
            std::printf("round %d %s: %s\n", round, (oursNow ? ourName : referenceName).constData(),
                        result.line.constData());
            std::fflush(stdout);
            if (result.value < 0)
                return false;
            (oursNow ? m_ours : m_reference).append(result.value);
            if (oursNow)
                m_ourLines.append(result.line);
        }
    }
    return true;
}

QByteArray Alternation::output(const QString &program, const QStringList &arguments,
                               const QProcessEnvironment &environment)
{
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    process.start(program, arguments);
    if (!process.waitForFinished(600000)) {
        process.kill();
        process.waitForFinished();
        return {};
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return {};
    return process.readAllStandardOutput().trimmed();
}

double Alternation::field(const QByteArray &line, const QByteArray &key)
{
    for (const QByteArray &pair : line.split(' ')) {
        if (pair.startsWith(key + '=')) {
            bool ok = false;
            const double value = pair.mid(key.size() + 1).toDouble(&ok);
            return ok ? value : -1;
        }
    }
    return -1;
}

double Alternation::median(QList<double> values)
{
    if (values.isEmpty())
        return -1;
    std::sort(values.begin(), values.end());
    const qsizetype middle = values.size() / 2;
    return values.size() % 2 ? values[middle] : (values[middle - 1] + values[middle]) / 2;
}

double Alternation::largest(const QList<QByteArray> &lines, const QByteArray &key)
{
    double most = -1;
    for (const QByteArray &line : lines)
        most = std::max(most, field(line, key));
    return most;
}

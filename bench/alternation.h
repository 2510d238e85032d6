#pragma once

#include <QByteArray>
#include <QList>
#include <QProcessEnvironment>
#include <QStringList>

#include <functional>

// Runs our program and a reference tool alternately, round by round, and keeps each one's
// figures. Who goes first alternates: the page cache favours whoever runs second, and the
// disk's write-back burdens whoever follows a writer.
class Alternation
{
public:
    // One run: the figure compared, and what is printed for the round. A negative value
    // means the run failed.
    struct Run
    {
        double value = -1;
        QByteArray line;
    };
    using Contender = std::function<Run()>;

    Alternation(Contender ours, Contender reference);
    // Prints a line per run, labelled with the names; false as soon as a run fails.
    bool run(int rounds, const QByteArray &ourName, const QByteArray &referenceName);

    double ours() const { return median(m_ours); }
    double reference() const { return median(m_reference); }
    const QList<QByteArray> &ourLines() const { return m_ourLines; }

    // Runs a program to its end (bounded to ten minutes) and returns its standard output;
    // empty when it could not start, failed or ran too long.
    static QByteArray output(const QString &program, const QStringList &arguments,
                             const QProcessEnvironment &environment
                             = QProcessEnvironment::systemEnvironment());
    // The number after "key=" in a line of "key=value" pairs; -1 when there is none.
    static double field(const QByteArray &line, const QByteArray &key);
    static double median(QList<double> values);
    static double largest(const QList<QByteArray> &lines, const QByteArray &key);

private:
    Contender m_ourContender;
    Contender m_referenceContender;
    QList<double> m_ours;
    QList<double> m_reference;
    QList<QByteArray> m_ourLines;
};

#pragma once

#include <QDate>
#include <QString>

// What a person may name a build by: its number ("1368529"), a Chromium version
// ("131.0.6778.85"), a milestone ("M131") or a day ("2026-11-01", UTC). Parsed here alone,
// without asking anyone; which build it stands for is BuildChoice's question.
struct BuildQuery
{
    enum Kind { Invalid, Number, Version, Milestone, Date };

    Kind kind = Invalid;
    int number = -1; // the build or the milestone
    QString version; // four numbers, without leading zeros
    QDate date;

    static BuildQuery parse(const QString &text);
    // The query as parse() reads it again.
    QString text() const;
    bool operator==(const BuildQuery &other) const
    {
        return kind == other.kind && number == other.number && version == other.version
            && date == other.date;
    }
};

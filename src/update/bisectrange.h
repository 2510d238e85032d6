#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>

#include <optional>

// The published builds strictly between a good and a bad build, halved by index: a gap in the
// numbers costs nothing. A skipped build leaves the range as it was and is not asked again; the
// one asked instead is the nearest to the middle. Done when no build is left to ask: the change
// lies between the highest good build and the lowest bad one.
class BisectRange
{
    Q_GADGET

public:
    // By name in QML too: BisectRange.Good, .Bad, .Skip.
    enum Verdict { Good, Bad, Skip };
    Q_ENUM(Verdict)

    BisectRange() = default;
    // published: every published build, ascending or not; good must lie below bad.
    BisectRange(const QList<int> &published, int good, int bad);

    int lastGood() const { return m_good; }
    int firstBad() const { return m_bad; }
    // The builds still between them, ascending, skipped ones included.
    const QList<int> &candidates() const { return m_candidates; }
    const QList<int> &skipped() const { return m_skipped; }
    // Good and bad verdicts so far.
    int counted() const { return m_counted; }
    bool isDone() const { return next() < 0; }

    // The build to ask about; -1 when done.
    int next() const;
    // The good and bad verdicts still needed at most: each halves what is left, so n builds
    // take floor(log2 n) + 1.
    int mostVerdictsLeft() const;
    // The builds asked next after a good and after a bad verdict on next(), for fetching while
    // it is tested; -1 where none would be.
    QList<int> possibleNext() const;
    // False (and nothing changes) for a build that is no candidate.
    bool judge(int build, Verdict verdict);

    // A few lines of text; a damaged or inconsistent one reads as none.
    QByteArray serialize() const;
    static std::optional<BisectRange> deserialize(const QByteArray &data);

private:
    QList<int> m_candidates;
    QList<int> m_skipped;
    int m_good = -1;
    int m_bad = -1;
    int m_counted = 0;
};

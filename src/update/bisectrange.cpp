#include "update/bisectrange.h"

#include <algorithm>

namespace {

QByteArray joined(const QList<int> &numbers)
{
    QByteArray text;
    for (const int number : numbers)
        text += (text.isEmpty() ? "" : ",") + QByteArray::number(number);
    return text;
}

// Ascending positive numbers, each once; none for anything else.
std::optional<QList<int>> numbers(const QByteArray &text)
{
    QList<int> result;
    for (const QByteArray &field : text.split(',')) {
        if (field.isEmpty() && text.isEmpty())
            break;
        bool ok = false;
        const int number = field.toInt(&ok);
        if (!ok || number < 0 || (!result.isEmpty() && number <= result.last()))
            return std::nullopt;
        result.append(number);
    }
    return result;
}

} // namespace

BisectRange::BisectRange(const QList<int> &published, int good, int bad)
    : m_good(good)
    , m_bad(bad)
{
    for (const int build : published) {
        if (build > good && build < bad)
            m_candidates.append(build);
    }
    std::sort(m_candidates.begin(), m_candidates.end());
    m_candidates.erase(std::unique(m_candidates.begin(), m_candidates.end()), m_candidates.end());
}

int BisectRange::next() const
{
    const qsizetype size = m_candidates.size();
    const qsizetype middle = size / 2;
    // Outwards from the middle, below first: every candidate is looked at once.
    for (qsizetype step = 0; step < 2 * size + 1; ++step) {
        const qsizetype index = middle + (step % 2 == 0 ? step / 2 : -(step + 1) / 2);
        if (index >= 0 && index < size && !m_skipped.contains(m_candidates[index]))
            return m_candidates[index];
    }
    return -1;
}

QList<int> BisectRange::possibleNext() const
{
    const int asked = next();
    QList<int> result;
    for (const Verdict verdict : { Good, Bad }) {
        BisectRange after = *this;
        after.judge(asked, verdict);
        result.append(asked < 0 ? -1 : after.next());
    }
    return result;
}

bool BisectRange::judge(int build, Verdict verdict)
{
    const qsizetype index = m_candidates.indexOf(build);
    if (index < 0)
        return false;
    switch (verdict) {
    case Skip:
        if (!m_skipped.contains(build))
            m_skipped.append(build);
        std::sort(m_skipped.begin(), m_skipped.end());
        return true;
    case Good:
        m_good = build;
        m_candidates.remove(0, index + 1);
        break;
    case Bad:
        m_bad = build;
        m_candidates.resize(index);
        break;
    }
    ++m_counted;
    m_skipped.removeIf([this](int skipped) { return !m_candidates.contains(skipped); });
    return true;
}

QByteArray BisectRange::serialize() const
{
    return "bisect 1\ngood " + QByteArray::number(m_good) + "\nbad " + QByteArray::number(m_bad)
        + "\ncounted " + QByteArray::number(m_counted) + "\nbuilds " + joined(m_candidates)
        + "\nskipped " + joined(m_skipped) + '\n';
}

std::optional<BisectRange> BisectRange::deserialize(const QByteArray &data)
{
    const QList<QByteArray> lines = data.split('\n');
    const QList<QByteArray> keys { "bisect", "good", "bad", "counted", "builds", "skipped" };
    if (lines.size() != keys.size() + 1 || !lines.last().isEmpty())
        return std::nullopt;
    QList<QByteArray> values;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        if (!lines[i].startsWith(keys[i] + ' '))
            return std::nullopt;
        values.append(lines[i].mid(keys[i].size() + 1));
    }
    BisectRange range;
    bool good = false, bad = false, counted = false;
    range.m_good = values[1].toInt(&good);
    range.m_bad = values[2].toInt(&bad);
    range.m_counted = values[3].toInt(&counted);
    const std::optional<QList<int>> candidates = numbers(values[4]);
    const std::optional<QList<int>> skipped = numbers(values[5]);
    if (values[0] != "1" || !good || !bad || !counted || range.m_counted < 0 || !candidates
        || !skipped || range.m_good < 0 || range.m_good >= range.m_bad)
        return std::nullopt;
    range.m_candidates = *candidates;
    range.m_skipped = *skipped;
    const bool inside = range.m_candidates.isEmpty()
        || (range.m_candidates.first() > range.m_good && range.m_candidates.last() < range.m_bad);
    const bool skippedKnown
        = std::all_of(range.m_skipped.cbegin(), range.m_skipped.cend(),
                      [&range](int s) { return range.m_candidates.contains(s); });
    if (!inside || !skippedKnown)
        return std::nullopt;
    return range;
}

int BisectRange::mostVerdictsLeft() const
{
    const qsizetype left = m_candidates.size() - m_skipped.size();
    int verdicts = 0;
    while (verdicts < 31 && (qsizetype(1) << verdicts) <= left)
        ++verdicts;
    return verdicts;
}

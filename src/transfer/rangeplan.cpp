#include "transfer/rangeplan.h"

#include "transfer/crc32c.h"

#include <algorithm>

namespace RangePlan {

bool splits(qint64 length, const QByteArray &etag, const ObjectHash::Expected &expected,
            qint64 threshold, qint64 maximum)
{
    return length >= threshold && length <= maximum && !etag.isEmpty() && !etag.startsWith("W/")
        && !expected.crc32c.isEmpty() && !expected.malformed;
}

QList<Range> plan(qint64 size, int count)
{
    const qint64 share = size / count;
    QList<Range> ranges;
    for (int i = 0; i < count; ++i)
        ranges.append({ i * share, i == count - 1 ? size - 1 : (i + 1) * share - 1, 0 });
    return ranges;
}

QList<Range> planAfter(qint64 size, qint64 first, int count)
{
    QList<Range> ranges { { 0, first - 1, 0 } };
    for (Range range : plan(size - first, count))
        ranges.append({ range.from + first, range.to + first, 0 });
    return ranges;
}

int rangesFor(qint64 rest, qint64 smallest)
{
    return int(qBound(qint64(1), smallest > 0 ? rest / smallest : 1, qint64(laterRanges)));
}

Record checkpoint(Record record, const QList<Progress> &ranges)
{
    record.kept = 0;
    for (qsizetype i = 0; i < record.ranges.size() && i < ranges.size(); ++i) {
        Range &range = record.ranges[i];
        range.kept = qBound(qint64(0), ranges.at(i).had - ranges.at(i).pending, range.length());
        record.kept += range.kept;
    }
    return record;
}

Record keep(Record record, const QList<Progress> &ranges)
{
    record = checkpoint(record, ranges);
    if (std::none_of(ranges.begin(), ranges.end(), [](const Progress &p) { return p.refused; }))
        return record;
    qint64 unbroken = 0;
    for (const Range &range : std::as_const(record.ranges)) {
        unbroken += range.kept;
        if (!range.complete())
            break;
    }
    record.ranges.clear();
    record.kept = unbroken;
    return record;
}

bool checkpointDue(qint64 progress, qint64 checkpointed, qint64 size)
{
    return progress - checkpointed >= qMin(size / 16, checkpointBytes);
}

quint32 combine(QList<Piece> pieces)
{
    std::sort(pieces.begin(), pieces.end(),
              [](const Piece &a, const Piece &b) { return a.from < b.from; });
    quint32 crc = pieces.isEmpty() ? 0 : pieces.first().crc;
    for (qsizetype i = 1; i < pieces.size(); ++i)
        crc = Crc32c::combine(crc, pieces.at(i).crc, pieces.at(i).length);
    return crc;
}

bool resumable(const Record &record, qint64 have, int status, bool answered)
{
    // No answer at all (the network is down) leaves the kept part as it was.
    const bool understood = status == 200 || status == 206 || (status == 0 && !answered);
    return understood && !record.etag.isEmpty() && !record.etag.startsWith("W/") && record.size > 0
        && have < record.size;
}

} // namespace RangePlan

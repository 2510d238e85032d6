#pragma once

#include "transfer/objecthash.h"
#include "transfer/partialdownload.h"

#include <QList>

// How a large file is split into ranges that come side by side, and what a record of them
// says: pure functions on PartialDownload::Record, so that the arithmetic is tested alone.
// After its first piece a large file is cut into many ranges that come in file order, a few
// at a time, so that what is on disk stays close to one prefix that grows at the pace of all
// connections together: an archive's entries can be unpacked front to back as it arrives.
namespace RangePlan {

using Range = PartialDownload::Range;
using Record = PartialDownload::Record;

// How many ranges are on the wire at once.
constexpr int parallelRanges = 4;
// How many ranges the rest of a large file is cut into at most, after its first piece.
constexpr int laterRanges = 32;
// The most a killed run loses of a file that comes in ranges.
constexpr qint64 checkpointBytes = 64 * 1024 * 1024;
static_assert(laterRanges + 1 <= PartialDownload::maximumRanges, "kept ranges must be readable");

// What one range has at its offset, and of that what still waits for the writer.
struct Progress
{
    qint64 had = 0; // the kept part and what this try brought
    qint64 pending = 0;
    bool refused = false; // the server would not serve this range
};

// A range's CRC-32C and where it lies in the file.
struct Piece
{
    qint64 from = 0;
    qint64 length = 0;
    quint32 crc = 0;
};

// Whether a whole-file answer is fetched in ranges instead: large enough, with a strong ETag
// to pin the ranges to and a CRC-32C to combine theirs into (MD5 cannot be combined).
bool splits(qint64 length, const QByteArray &etag, const ObjectHash::Expected &expected,
            qint64 threshold, qint64 maximum);
// `count` ranges covering `size` bytes in order; the last takes the remainder.
QList<Range> plan(qint64 size, int count = parallelRanges);
// The piece of `first` bytes the first request brought, then `count` ranges for the rest.
QList<Range> planAfter(qint64 size, qint64 first, int count);
// How many ranges `rest` bytes are cut into: none smaller than `smallest` (bar the last's
// remainder), at most laterRanges, at least one.
int rangesFor(qint64 rest, qint64 smallest);
// The record once the ranges stopped: each keeps what is on disk. When the server refused a
// range, one stream goes on from what lies unbroken from byte 0, and no later range counts.
Record keep(Record record, const QList<Progress> &ranges);
// The record to note while the ranges run: only what surely reached the disk.
Record checkpoint(Record record, const QList<Progress> &ranges);
// Whether `progress` bytes, of which `checkpointed` were noted, are due to be noted again.
bool checkpointDue(qint64 progress, qint64 checkpointed, qint64 size);
// The whole file's CRC-32C from its pieces, whatever order they finished in.
quint32 combine(QList<Piece> pieces);
// Whether a part of `have` bytes is worth keeping after an answer of `status` (0: none):
// the same upload can be asked for its rest by a strong ETag, and something is missing.
bool resumable(const Record &record, qint64 have, int status, bool answered);

} // namespace RangePlan

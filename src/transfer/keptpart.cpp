#include "transfer/keptpart.h"

#include "transfer/rangeplan.h"
#include "transfer/transferguard.h"

#include <QFile>
#include <QNetworkReply>

namespace {

// The size of the file a 206 to "bytes=0-(asked-1)" describes; -1 unless it is that piece.
qint64 pieceOf(const QNetworkReply *reply, qint64 asked)
{
    const QByteArray range = reply->rawHeader("Content-Range").trimmed();
    const qint64 total = range.mid(range.indexOf('/') + 1).toLongLong();
    const QByteArray piece = "bytes 0-" + QByteArray::number(qMin(asked, total) - 1) + '/';
    return total > 0 && range == piece + QByteArray::number(total) ? total : -1;
}

// The one piece of mutable global state here: the test seam for the size from which a file
// comes in ranges.
qint64 &parallelThreshold()
{
    static qint64 threshold = 64 * 1024 * 1024;
    return threshold;
}

} // namespace

void KeptPart::setParallelThreshold(qint64 bytes)
{
    parallelThreshold() = bytes;
}

void KeptPart::adopt(QFile *file, const PartialDownload::Record &record,
                     std::optional<PartialDownload> partial)
{
    m_file = file;
    m_record = record;
    m_partial = std::move(partial);
    // Kept ranges say where the next request starts themselves.
    m_offset = record.ranges.isEmpty() ? record.kept : 0;
    m_received = 0;
    m_wholeAsked = false;
}

void KeptPart::request()
{
    m_received = 0;
    const PartialDownload::Range first = m_record.next();
    if (inRanges())
        m_offset = first.from + first.kept;
}

ObjectHash::Expected KeptPart::firstChecksums() const
{
    ObjectHash::Expected first;
    first.crc32c = m_record.crc32c;
    first.md5 = m_record.md5;
    first.present = !first.crc32c.isEmpty() || !first.md5.isEmpty();
    return first;
}

PartialDownload::Answer KeptPart::judge(const QNetworkReply *reply, int status,
                                        const ObjectHash::Expected &own) const
{
    const auto answer
        = PartialDownload::judge(m_record, status, reply->rawHeader("Content-Range"),
                                 reply->rawHeader("ETag"), reply->rawHeader("x-goog-generation"));
    // The checksums the first answer named judge the whole file: an answer that names others
    // is of another upload, and one that names none is judged by them all the same.
    const bool other = own.malformed || (!own.crc32c.isEmpty() && own.crc32c != m_record.crc32c)
        || (!own.md5.isEmpty() && own.md5 != m_record.md5);
    return answer == PartialDownload::Append && other ? PartialDownload::StartOver : answer;
}

void KeptPart::growing() const
{
    // The part grows from here, and the record says so: a run killed now leaves a part the
    // next start resumes, rather than one it discards for having outgrown the kept count.
    if (m_partial) {
        PartialDownload::Record growing = m_record;
        growing.kept = 0; // the part as the disk has it
        m_partial->save(growing);
    }
}

void KeptPart::restart()
{
    m_offset = 0;
    m_record.ranges.clear();
}

qint64 KeptPart::firstPiece() const
{
    const bool fresh = m_offset == 0 && !inRanges() && !m_wholeAsked && m_file->size() == 0;
    return fresh ? parallelThreshold() / RangePlan::parallelRanges : 0;
}

bool KeptPart::answersPiece(const QNetworkReply *reply, qint64 asked,
                            const ObjectHash::Expected &expected) const
{
    // The rest comes in ranges, which only a strong ETag and a CRC-32C can pin and judge.
    const qint64 length = pieceOf(reply, asked);
    return length > 0
        && (length <= asked
            || RangePlan::splits(length, reply->rawHeader("ETag"), expected, 0,
                                 TransferGuard::maximumSize));
}

bool KeptPart::whole(const QNetworkReply *reply, const ObjectHash::Expected &expected, qint64 asked)
{
    const QByteArray etag = reply->rawHeader("ETag");
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    const qint64 length = asked > 0 ? pieceOf(reply, asked)
        : announced.isValid()       ? announced.toLongLong()
                                    : -1;
    m_record.etag = etag;
    m_record.generation = reply->rawHeader("x-goog-generation");
    m_record.size = length;
    m_record.kept = 0;
    m_record.ranges.clear();
    m_record.crc32c = expected.crc32c;
    m_record.md5 = expected.md5;
    // Storage servers often cap each connection: a large file comes in ranges side by side.
    // Preallocated: each range's bytes stay at their offset, whichever range breaks.
    // The first piece is the first range; the rest comes in ranges too, one unless the file
    // is large. A whole-file answer brings a first piece of the same size, then is cut.
    // A large file's rest comes in ranges of at least a sixteenth of the threshold (4 MiB),
    // which start in file order, so that the file fills front to back.
    const bool large = length >= parallelThreshold();
    const bool pieced = asked > 0 && asked < length;
    const qint64 first = pieced ? asked : parallelThreshold() / RangePlan::parallelRanges;
    const bool split = m_file->size() == 0
        && RangePlan::splits(length, etag, expected, pieced ? 0 : parallelThreshold(),
                             TransferGuard::maximumSize)
        && m_file->resize(length);
    if (split)
        m_record.ranges = RangePlan::planAfter(
            length, first,
            large ? RangePlan::rangesFor(length - first, qMax(parallelThreshold() / 16, qint64(1)))
                  : 1);
    return split;
}

bool KeptPart::resumable(int status, bool answered) const
{
    const qint64 have = inRanges() ? m_record.kept : reached();
    return RangePlan::resumable(m_record, have, status, answered);
}

void KeptPart::keepRanges(const PartialDownload::Record &kept)
{
    m_record = kept;
    if (!inRanges()) {
        m_received = 0;
        m_offset = m_record.kept;
    }
}

bool KeptPart::save()
{
    if (!inRanges()) {
        // One stream keeps what lies unbroken from byte 0; the rest of the file goes.
        m_offset += m_received;
        m_received = 0;
        m_record.kept = m_offset;
        if (!m_file->resize(m_offset))
            return false;
    }
    return !m_partial || m_partial->save(m_record);
}

bool KeptPart::keepWritten(qint64 kept)
{
    m_record.kept = kept;
    return m_partial && kept > 0 && m_partial->save(m_record);
}

void KeptPart::complete()
{
    m_record.ranges.clear();
    m_offset = 0;
    m_received = m_record.size;
}

#include "builds/parallelranges.h"

#include "builds/rangefetch.h"

#include <QNetworkReply>

ParallelRanges::ParallelRanges(QObject *parent)
    : QObject(parent)
{
}

ParallelRanges::~ParallelRanges()
{
    stop();
}

void ParallelRanges::start(const PartialDownload::Record &record, QNetworkReply *reply,
                           const Transfer &transfer)
{
    m_record = record;
    m_partial = transfer.partial;
    m_kept = record.kept;
    m_checkpointed = record.kept;
    const PartialDownload::Range first = record.next();
    for (const PartialDownload::Range &part : record.ranges) {
        const RangeFetch::Range range { part.from,   part.to,           part.kept,    record.size,
                                        record.etag, record.generation, record.crc32c };
        RangeFetch *fetch = part.from == first.from
            ? new RangeFetch(reply, transfer.fileName, range, this)
            : new RangeFetch(transfer.manager, transfer.address, transfer.fileName, range,
                             transfer.timeout, this);
        connect(fetch, &RangeFetch::progressed, this, [this] {
            checkpoint();
            emit progressed();
        });
        connect(fetch, &RangeFetch::synced, this, &ParallelRanges::synced);
        connect(fetch, &RangeFetch::stored, this, &ParallelRanges::stored);
        connect(fetch, &RangeFetch::finished, this,
                [this, fetch](bool complete, const QString &error, quint32 crc) {
                    rangeEnded(fetch, complete, error, crc);
                });
        m_ranges.append(fetch);
    }
}

qint64 ParallelRanges::received() const
{
    qint64 sum = 0;
    for (const RangeFetch *fetch : m_ranges)
        sum += fetch->received();
    return sum;
}

void ParallelRanges::fail(const QString &error)
{
    for (RangeFetch *fetch : std::as_const(m_ranges))
        fetch->fail(error);
}

void ParallelRanges::halt()
{
    for (RangeFetch *fetch : std::as_const(m_ranges)) {
        fetch->disconnect(this);
        fetch->halt();
    }
}

void ParallelRanges::rangeEnded(const RangeFetch *fetch, bool complete, const QString &error,
                                quint32 crc)
{
    m_crcs.insert(fetch, crc);
    if (!complete && m_error.isEmpty()) {
        m_error = error;
        m_failedRange = QStringLiteral("bytes %1-%2, HTTP %3")
                            .arg(fetch->from())
                            .arg(fetch->from() + fetch->length() - 1)
                            .arg(fetch->status());
    }
    if (m_crcs.size() < m_ranges.size())
        return;
    // The ranges' checksums, in the file's order, make the whole file's.
    QList<RangePlan::Piece> pieces;
    for (const RangeFetch *range : std::as_const(m_ranges))
        pieces.append({ range->from(), range->length(), m_crcs.value(range) });
    emit finished(m_error, RangePlan::combine(pieces));
}

QList<RangePlan::Progress> ParallelRanges::rangeProgress(bool written) const
{
    QList<RangePlan::Progress> progress;
    for (const PartialDownload::Range &range : m_record.ranges) {
        RangePlan::Progress p { range.kept, 0, false };
        for (const RangeFetch *fetch : m_ranges) {
            if (fetch->from() == range.from)
                p = { written ? fetch->written() : fetch->kept().kept, 0, fetch->refused() };
        }
        progress.append(p);
    }
    return progress;
}

PartialDownload::Record ParallelRanges::kept(const PartialDownload::Record &record) const
{
    // Each range keeps what reached the disk; the next try asks each only for its rest.
    return RangePlan::keep(record, rangeProgress(false));
}

void ParallelRanges::checkpoint()
{
    // A run that is killed never says what its ranges got: every sixteenth of the file, the
    // record notes what each has surely written, so a restart asks only for the rest. What
    // it notes is made durable first, on each range's writer, and only then written down.
    const qint64 progress = this->progress();
    if (!m_partial || m_noting
        || !RangePlan::checkpointDue(progress, m_checkpointed, m_record.size))
        return;
    m_checkpointed = progress;
    m_noting = RangePlan::checkpoint(m_record, rangeProgress(true));
    m_syncing = int(m_ranges.size());
    for (RangeFetch *fetch : std::as_const(m_ranges))
        fetch->sync();
}

void ParallelRanges::synced()
{
    if (!m_noting || --m_syncing > 0)
        return;
    m_partial->save(*m_noting);
    m_noting.reset();
}

void ParallelRanges::stop()
{
    for (RangeFetch *fetch : std::as_const(m_ranges)) {
        // Stopped now, so that nothing writes into the file after this; deleted once out of
        // its own calls.
        fetch->disconnect(this);
        fetch->halt();
        fetch->deleteLater();
    }
    m_ranges.clear();
    m_crcs.clear();
    m_error.clear();
    m_failedRange.clear();
    m_noting.reset();
}

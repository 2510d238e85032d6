#include "transfer/parallelranges.h"

#include "transfer/rangefetch.h"

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
    stop();
    m_record = record;
    m_transfer = transfer;
    m_started = true;
    m_kept = record.kept;
    m_checkpointed = record.kept;
    // The answered reply brings the first unfinished range; the others follow in file order.
    const qint64 first = record.next().from;
    int adopted = -1;
    for (int i = 0; i < record.ranges.size(); ++i) {
        if (adopted < 0 && record.ranges.at(i).from == first)
            adopted = i;
        else
            m_waiting.append(i);
    }
    if (adopted >= 0) {
        startRange(adopted, reply);
    } else {
        reply->abort();
        reply->deleteLater();
    }
    startNext();
}

void ParallelRanges::startRange(int index, QNetworkReply *reply)
{
    const PartialDownload::Range &part = m_record.ranges.at(index);
    const RangeFetch::Range range { part.from,      part.to,       part.kept,
                                    m_record.size,  m_record.etag, m_record.generation,
                                    m_record.crc32c };
    RangeFetch *fetch = reply
        ? new RangeFetch(reply, m_transfer.fileName, range, this)
        : new RangeFetch(m_transfer.manager, m_transfer.address, m_transfer.fileName, range,
                         m_transfer.timeout, this);
    connect(fetch, &RangeFetch::progressed, this, [this] {
        checkpoint();
        emit progressed();
    });
    connect(fetch, &RangeFetch::synced, this, [this, fetch] { synced(fetch); });
    connect(fetch, &RangeFetch::stored, this, &ParallelRanges::stored);
    connect(fetch, &RangeFetch::finished, this,
            [this, fetch](bool complete, const QString &error, quint32 crc) {
                rangeEnded(fetch, complete, error, crc);
            });
    m_running.insert(index, fetch);
}

void ParallelRanges::startNext()
{
    // After a failure nothing more starts: the try ends once the running ranges have.
    if (!m_error.isEmpty())
        return;
    // A range whole from before needs no connection, only its checksum read back: those are
    // hashed one at a time, beside the ranges on the wire.
    int fetching = 0;
    int hashing = 0;
    for (auto it = m_running.cbegin(); it != m_running.cend(); ++it)
        ++(m_record.ranges.at(it.key()).complete() ? hashing : fetching);
    for (auto it = m_waiting.begin(); it != m_waiting.end();) {
        const bool whole = m_record.ranges.at(*it).complete();
        int &lane = whole ? hashing : fetching;
        if (lane >= (whole ? 1 : RangePlan::parallelRanges)) {
            ++it;
            continue;
        }
        ++lane;
        const int index = *it;
        it = m_waiting.erase(it);
        startRange(index, nullptr);
    }
}

qint64 ParallelRanges::received() const
{
    qint64 sum = m_receivedEnded;
    for (const RangeFetch *fetch : m_running)
        sum += fetch->received();
    return sum;
}

void ParallelRanges::fail(const QString &error)
{
    if (!m_started)
        return;
    if (m_error.isEmpty())
        m_error = error;
    for (RangeFetch *fetch : std::as_const(m_running))
        fetch->fail(error);
}

void ParallelRanges::halt()
{
    for (RangeFetch *fetch : std::as_const(m_running)) {
        fetch->disconnect(this);
        fetch->halt();
    }
}

void ParallelRanges::rangeEnded(RangeFetch *fetch, bool complete, const QString &error, quint32 crc)
{
    const int index = m_running.key(fetch, -1);
    if (index < 0)
        return;
    m_running.remove(index);
    m_ended.insert(index, { crc, fetch->received(), { fetch->kept().kept, 0, fetch->refused() } });
    m_receivedEnded += fetch->received();
    if (!complete && m_error.isEmpty()) {
        m_error = error;
        m_failedRange = QStringLiteral("bytes %1-%2, HTTP %3")
                            .arg(fetch->from())
                            .arg(fetch->from() + fetch->length() - 1)
                            .arg(fetch->status());
    }
    // Its writer flushed everything as it finished: no checkpoint waits for it any more. It
    // goes now, its file closed, so that a file of many ranges holds only the running ones.
    synced(fetch);
    fetch->disconnect(this);
    fetch->halt();
    fetch->deleteLater();
    startNext();
    if (!m_running.isEmpty())
        return;
    // The ranges' checksums, in the file's order, make the whole file's.
    QList<RangePlan::Piece> pieces;
    for (auto it = m_ended.cbegin(); it != m_ended.cend(); ++it) {
        const PartialDownload::Range &range = m_record.ranges.at(it.key());
        pieces.append({ range.from, range.length(), it->crc });
    }
    emit finished(m_error, RangePlan::combine(pieces));
}

QList<RangePlan::Progress> ParallelRanges::rangeProgress(bool written) const
{
    QList<RangePlan::Progress> progress;
    for (int i = 0; i < m_record.ranges.size(); ++i) {
        const RangeFetch *fetch = m_running.value(i);
        if (fetch)
            progress.append(
                { written ? fetch->written() : fetch->kept().kept, 0, fetch->refused() });
        else
            progress.append(m_ended.value(i, { 0, 0, { m_record.ranges.at(i).kept } }).progress);
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
    // it notes is made durable first, on each running range's writer, and only then written
    // down; ranges that ended flushed theirs as they did.
    const qint64 progress = this->progress();
    if (!m_transfer.partial || m_noting
        || !RangePlan::checkpointDue(progress, m_checkpointed, m_record.size))
        return;
    m_checkpointed = progress;
    m_noting = RangePlan::checkpoint(m_record, rangeProgress(true));
    const QList<RangeFetch *> running = m_running.values();
    m_syncing = QSet<const RangeFetch *>(running.cbegin(), running.cend());
    for (RangeFetch *fetch : running)
        fetch->sync();
    if (running.isEmpty())
        synced(nullptr);
}

void ParallelRanges::synced(const RangeFetch *fetch)
{
    if (!m_noting || (fetch && !m_syncing.remove(fetch)) || !m_syncing.isEmpty())
        return;
    m_transfer.partial->save(*m_noting);
    m_noting.reset();
}

void ParallelRanges::stop()
{
    for (RangeFetch *fetch : std::as_const(m_running)) {
        // Stopped now, so that nothing writes into the file after this; deleted once out of
        // its own calls.
        fetch->disconnect(this);
        fetch->halt();
        fetch->deleteLater();
    }
    m_running.clear();
    m_ended.clear();
    m_waiting.clear();
    m_started = false;
    m_error.clear();
    m_failedRange.clear();
    m_receivedEnded = 0;
    m_noting.reset();
    m_syncing.clear();
}

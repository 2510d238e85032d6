#include "install/pipelinedunpack.h"

#include "install/installtext.h"
#include "install/treeremoval.h"
#include "install/unpackwork.h"

#include <QMutex>
#include <QThread>
#include <QThreadPool>
#include <QWaitCondition>

#include <algorithm>
#include <fcntl.h>
#include <map>
#include <numeric>

namespace {

// Long enough to carry a pool over the gaps between two pieces of a transfer, short enough
// that nothing lingers once the archive is in.
constexpr int threadExpiryMs = 2000;

// Below this an entry is quick to inflate once whole; above it, waiting for its last byte
// would leave seconds of work for after the download.
constexpr qint64 streamingThreshold = 8 * 1024 * 1024;
// A streaming entry starts once its local header and a first block to inflate are in the
// file (an extra field the listing does not show is waited for like the rest).
constexpr qint64 localHeaderSize = 30;
constexpr qint64 firstBlock = 128 * 1024;
// At most this many entries wait on their bytes at once, and the pool always keeps a worker
// beside them for entries that are already whole.
constexpr int maximumStreaming = 2;

} // namespace

struct PipelinedUnpack::State
{
    State(int archive, const ZipCatalog &catalog, const QString &topFolder,
          const ArchiveUnpacker::Limits &limits)
        : work(archive, catalog, topFolder, limits)
    {
    }

    // Declared before the pool, so the pool and its workers are gone before the work and
    // the coverage they wait on are.
    UnpackWork work;
    // What is in the file, as disjoint, merged [from, to) intervals keyed by from. Written on
    // this object's thread under `lock`; streaming workers read it under `lock` too.
    std::map<qint64, qint64> covered;
    QMutex lock;
    QWaitCondition arrived;
    // finish() said the whole archive is in: no reader waits any more.
    bool whole = false;
    QThreadPool pool;
    QString destination;
    qint64 threshold = streamingThreshold;
    int streaming = 0;
    int streamingSlots = 1;
    // The entries in file order; their spans are disjoint and ascending.
    QList<qsizetype> order;
    QList<bool> dispatched;
    qsizetype pending = 0; // not dispatched yet
    int running = 0;
    QString startError;
    bool started = false;
    bool finishing = false;
    bool concluding = false;
    // finished() was emitted, or cancel() ran: nothing more happens.
    bool over = false;

    bool isCovered(qint64 from, qint64 to) const
    {
        auto it = covered.upper_bound(from);
        if (it == covered.begin())
            return false;
        --it;
        return it->second >= to;
    }

    // Called by a streaming worker before each read.
    bool await(qint64 from, qint64 to)
    {
        QMutexLocker locked(&lock);
        // Bounded: each wake-up follows more of the file, the end, or a stop.
        while (!whole && !isCovered(from, to)) {
            if (work.stopped())
                return false;
            arrived.wait(&lock);
        }
        return true;
    }

    // After a stop (cancel, or a worker's failure): no reader waits for bytes any more.
    void wakeAll()
    {
        const QMutexLocker locked(&lock);
        arrived.wakeAll();
    }

    void cover(qint64 from, qint64 to)
    {
        const QMutexLocker locked(&lock);
        auto it = covered.upper_bound(from);
        if (it != covered.begin() && std::prev(it)->second >= from) {
            --it;
            from = it->first;
        }
        // Bounded: each round removes one interval.
        while (it != covered.end() && it->first <= to) {
            to = std::max(to, it->second);
            it = covered.erase(it);
        }
        covered.emplace(from, to);
        arrived.wakeAll();
    }
};

PipelinedUnpack::PipelinedUnpack(int archive, const ZipCatalog &catalog, const QString &destination,
                                 const QString &topFolder, const ArchiveUnpacker::Limits &limits,
                                 QObject *parent)
    : QObject(parent)
    , m_state(
          std::make_unique<State>(::fcntl(archive, F_DUPFD_CLOEXEC, 0), catalog, topFolder, limits))
{
    State &s = *m_state;
    s.destination = destination;
    // The tree is synced before it is used; what the workers start now is not left for then.
    s.work.startWriteback();
    s.pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
    s.streamingSlots = std::clamp(QThread::idealThreadCount() - 1, 1, maximumStreaming);
    s.pool.setExpiryTimeout(threadExpiryMs);
    const QList<ZipCatalog::Entry> &entries = catalog.entries();
    s.order.resize(entries.size());
    std::iota(s.order.begin(), s.order.end(), 0);
    std::sort(s.order.begin(), s.order.end(), [&entries](qsizetype a, qsizetype b) {
        return entries[a].headerOffset < entries[b].headerOffset;
    });
    s.dispatched.fill(false, entries.size());
    s.pending = entries.size();
}

PipelinedUnpack::~PipelinedUnpack()
{
    cancel();
}

QString PipelinedUnpack::start()
{
    State &s = *m_state;
    if (s.started || s.over)
        return s.startError;
    s.startError = s.work.prepare(s.destination);
    if (!s.startError.isEmpty())
        return s.startError;
    s.started = true;
    dispatch(0, s.work.catalog().archiveSize());
    return {};
}

void PipelinedUnpack::available(qint64 from, qint64 to)
{
    State &s = *m_state;
    if (from >= to || s.over)
        return;
    s.cover(from, to);
    dispatch(from, to);
}

void PipelinedUnpack::finish()
{
    State &s = *m_state;
    if (s.finishing || s.over)
        return;
    s.finishing = true;
    {
        const QMutexLocker locked(&s.lock);
        s.whole = true;
    }
    if (!s.started) {
        const ArchiveUnpacker::Result result {
            false, s.startError.isEmpty() ? InstallText::tr("Cancelled") : s.startError, 0, 0
        };
        QMetaObject::invokeMethod(
            this,
            [this, result] {
                m_state->over = true;
                emit finished(result);
            },
            Qt::QueuedConnection);
        return;
    }
    s.cover(0, s.work.catalog().archiveSize());
    dispatch(0, s.work.catalog().archiveSize());
    concludeWhenDone();
}

void PipelinedUnpack::cancel()
{
    State &s = *m_state;
    if (s.over)
        return;
    s.over = true;
    s.work.stop();
    s.wakeAll();
    // Workers stop between two blocks, or stop waiting for one, so this is short.
    s.pool.waitForDone();
    // Its thousands of files would hold up this thread for seconds; its path is free at once.
    if (const QString tree = s.work.releaseTree(); !tree.isEmpty())
        TreeRemoval::removeLater(tree);
}

qint64 PipelinedUnpack::unpackedBytes() const
{
    return m_state->work.bytes();
}

void PipelinedUnpack::setStreamingThreshold(qint64 compressedBytes)
{
    m_state->threshold = std::max<qint64>(1, compressedBytes);
}

// Starts every entry whose span meets [from, to) and is now wholly in the file, and a large
// one whose first block is, while a streaming slot is free.
void PipelinedUnpack::dispatch(qint64 from, qint64 to)
{
    State &s = *m_state;
    if (!s.started || s.over || s.work.stopped())
        return;
    const QList<ZipCatalog::Entry> &entries = s.work.catalog().entries();
    const qint64 startBlock = std::min(firstBlock, s.threshold);
    auto it = std::partition_point(s.order.cbegin(), s.order.cend(),
                                   [&](qsizetype i) { return entries[i].spanEnd <= from; });
    // Bounded by the entries.
    for (; it != s.order.cend() && entries[*it].headerOffset < to; ++it) {
        const qsizetype index = *it;
        const ZipCatalog::Entry &entry = entries[index];
        if (s.dispatched[index])
            continue;
        // This thread alone writes the coverage, so it reads it without the lock.
        const bool streams = !s.isCovered(entry.headerOffset, entry.spanEnd);
        const qint64 started
            = entry.headerOffset + localHeaderSize + entry.name.size() + startBlock;
        if (streams
            && (entry.compressedSize < s.threshold || s.streaming >= s.streamingSlots
                || !s.isCovered(entry.headerOffset, std::min(entry.spanEnd, started))))
            continue;
        run(index, streams);
    }
}

// Hands one entry to the pool; a streaming one reads each block once it has arrived.
void PipelinedUnpack::run(qsizetype index, bool streams)
{
    State &s = *m_state;
    s.dispatched[index] = true;
    --s.pending;
    ++s.running;
    if (streams && ++s.streaming >= s.pool.maxThreadCount())
        s.pool.setMaxThreadCount(s.streaming + 1);
    State *state = &s;
    s.pool.start([this, state, index, streams] {
        UnpackWork::Arrival arrival;
        if (streams)
            arrival = [state](qint64 from, qint64 to) { return state->await(from, to); };
        if (const QString error = state->work.unpackEntry(index, arrival); !error.isEmpty()) {
            state->work.fail(error);
            state->wakeAll();
        }
        QMetaObject::invokeMethod(
            this, [this, streams] { entryDone(streams); }, Qt::QueuedConnection);
    });
}

void PipelinedUnpack::entryDone(bool streamed)
{
    State &s = *m_state;
    --s.running;
    // A streaming slot is free: a large entry that was held back may take it.
    if (streamed && --s.streaming < s.streamingSlots)
        dispatch(0, s.work.catalog().archiveSize());
    concludeWhenDone();
}

// Once everything is unpacked (or a worker failed and the rest have stopped): the tree's
// last check, or its removal, off this thread, then finished().
void PipelinedUnpack::concludeWhenDone()
{
    State &s = *m_state;
    if (!s.finishing || s.over || s.concluding || s.running > 0)
        return;
    if (s.pending > 0 && s.work.failure().isEmpty())
        return;
    s.concluding = true;
    UnpackWork *work = &s.work;
    s.pool.start([this, work] {
        QString error = work->failure();
        if (error.isEmpty())
            error = work->conclude();
        if (!error.isEmpty())
            work->removeTree();
        const ArchiveUnpacker::Result result { error.isEmpty(), error,
                                               error.isEmpty() ? work->entries() : 0,
                                               error.isEmpty() ? work->bytes() : 0 };
        QMetaObject::invokeMethod(
            this,
            [this, result] {
                if (m_state->over)
                    return;
                m_state->over = true;
                // No pool thread outlives the unpack.
                m_state->pool.waitForDone();
                emit finished(result);
            },
            Qt::QueuedConnection);
    });
}

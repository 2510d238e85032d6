#include "install/pipelinedunpack.h"

#include "install/unpackwork.h"

#include <QCoreApplication>
#include <QThread>
#include <QThreadPool>

#include <algorithm>
#include <fcntl.h>
#include <map>
#include <numeric>

namespace {

// What reaches the user (the status line, a balloon) is translatable, in the unpacker's
// context whichever part finds the fault.
struct Text
{
    Q_DECLARE_TR_FUNCTIONS(ArchiveUnpacker)
};

// Long enough to carry a pool over the gaps between two pieces of a transfer, short enough
// that nothing lingers once the archive is in.
constexpr int threadExpiryMs = 2000;

} // namespace

struct PipelinedUnpack::State
{
    State(int archive, const ZipCatalog &catalog, const QString &topFolder,
          const ArchiveUnpacker::Limits &limits)
        : work(archive, catalog, topFolder, limits)
    {
    }

    // Declared before the pool, so the pool and its workers are gone before the work is.
    UnpackWork work;
    QThreadPool pool;
    QString destination;
    // What is in the file, as disjoint, merged [from, to) intervals keyed by from.
    std::map<qint64, qint64> covered;
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

    void cover(qint64 from, qint64 to)
    {
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
    s.pool.setMaxThreadCount(std::max(1, QThread::idealThreadCount()));
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
    if (!s.started) {
        const ArchiveUnpacker::Result result {
            false, s.startError.isEmpty() ? Text::tr("Cancelled") : s.startError, 0, 0
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
    // Workers stop between two blocks, so this is short.
    s.pool.waitForDone();
    s.work.removeTree();
}

qint64 PipelinedUnpack::unpackedBytes() const
{
    return m_state->work.bytes();
}

// Starts every entry whose span meets [from, to) and is now wholly in the file.
void PipelinedUnpack::dispatch(qint64 from, qint64 to)
{
    State &s = *m_state;
    if (!s.started || s.over || s.work.stopped())
        return;
    const QList<ZipCatalog::Entry> &entries = s.work.catalog().entries();
    auto it = std::partition_point(s.order.cbegin(), s.order.cend(),
                                   [&](qsizetype i) { return entries[i].spanEnd <= from; });
    // Bounded by the entries.
    for (; it != s.order.cend() && entries[*it].headerOffset < to; ++it) {
        const qsizetype index = *it;
        if (s.dispatched[index]
            || !s.isCovered(entries[index].headerOffset, entries[index].spanEnd))
            continue;
        s.dispatched[index] = true;
        --s.pending;
        ++s.running;
        UnpackWork *work = &s.work;
        s.pool.start([this, work, index] {
            if (const QString error = work->unpackEntry(index); !error.isEmpty())
                work->fail(error);
            QMetaObject::invokeMethod(this, &PipelinedUnpack::entryDone, Qt::QueuedConnection);
        });
    }
}

void PipelinedUnpack::entryDone()
{
    --m_state->running;
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

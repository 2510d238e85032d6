#include "builds/pipelinedinstall.h"

#include "common/updatelog.h"
#include "install/archiveinstaller.h"
#include "install/pipelinedunpack.h"

#include <algorithm>
#include <fcntl.h>
#include <unistd.h>

namespace {

// The spans sorted and merged: disjoint and ascending.
PipelinedInstall::Spans merged(PipelinedInstall::Spans spans)
{
    std::sort(spans.begin(), spans.end());
    PipelinedInstall::Spans joined;
    for (const auto &[from, to] : std::as_const(spans)) {
        if (from >= to)
            continue;
        if (!joined.isEmpty() && from <= joined.last().second)
            joined.last().second = std::max(joined.last().second, to);
        else
            joined.append({ from, to });
    }
    return joined;
}

// Whether every byte of `inner` lies in `outer`, both merged.
bool within(const PipelinedInstall::Spans &inner, const PipelinedInstall::Spans &outer)
{
    return std::all_of(inner.cbegin(), inner.cend(), [&outer](const auto &span) {
        return std::any_of(outer.cbegin(), outer.cend(), [&span](const auto &kept) {
            return kept.first <= span.first && kept.second >= span.second;
        });
    });
}

} // namespace

PipelinedInstall::PipelinedInstall(QObject *parent)
    : QObject(parent)
{
}

PipelinedInstall::~PipelinedInstall()
{
    cancel();
}

void PipelinedInstall::answered(const ArchiveFetch::Answer &answer, const Attempt &attempt)
{
    if (m_state == Idle) {
        begin(answer, attempt);
        return;
    }
    if (m_state != Reading && m_state != Unpacking)
        return;
    // Bytes of another upload, or the file begun again, would not be the ones unpacked.
    const bool same = answer.resumed && answer.size == m_answer.size && answer.etag == m_answer.etag
        && answer.generation == m_answer.generation;
    if (!same) {
        decline(tr("the download started over"));
        return;
    }
    // What the answer does not keep is written again (a refused range leaves only the file's
    // unbroken start, a failed write keeps nothing of its range): whatever was unpacked from
    // those bytes may not be what the checksum judges at the end, so it is unpacked anew from
    // what is kept. Kept bytes are never written again.
    const Spans kept = merged(answer.kept);
    m_stored = merged(m_stored);
    if (within(m_stored, kept))
        return;
    qCInfo(lcUpdate) << "The download kept" << kept << "of" << m_stored
                     << "written: unpacking again from what it kept";
    m_stored = kept;
    if (m_state == Unpacking)
        unpackAgain();
}

void PipelinedInstall::begin(const ArchiveFetch::Answer &answer, const Attempt &attempt)
{
    // Only what a range can be pinned to is read from the end: a strong ETag or a generation.
    const bool pinned
        = (!answer.etag.isEmpty() && !answer.etag.startsWith("W/")) || !answer.generation.isEmpty();
    if (!answer.ranges || answer.size <= 0 || !pinned) {
        decline(tr("the source serves no ranges of it"));
        return;
    }
    m_archive = ::fcntl(attempt.archive, F_DUPFD_CLOEXEC, 0);
    if (m_archive < 0) {
        decline(tr("its file cannot be read"));
        return;
    }
    m_state = Reading;
    m_answer = answer;
    m_tree = attempt.tree;
    m_stored = merged(answer.kept);
    m_catalog = new CatalogFetch(this);
    connect(m_catalog, &CatalogFetch::finished, this, &PipelinedInstall::catalogRead);
    m_catalog->start(attempt.manager, { answer.url, answer.size, answer.etag, answer.generation },
                     attempt.transferTimeout);
}

void PipelinedInstall::stored(qint64 from, qint64 to)
{
    if (m_state != Reading && m_state != Unpacking)
        return;
    if (m_state == Unpacking)
        m_unpack->available(from, to);
    // Adjacent spans are one: a range's batches follow each other.
    for (QPair<qint64, qint64> &span : m_stored) {
        if (span.second == from) {
            span.second = to;
            return;
        }
    }
    m_stored.append({ from, to });
}

void PipelinedInstall::catalogRead(const CatalogFetch::Result &result)
{
    m_catalog->deleteLater();
    m_catalog = nullptr;
    if (!result.catalog) {
        // The whole archive may be waiting already: it is unpacked whole now.
        const bool finishing = m_finishing;
        decline(tr("its catalog could not be read: %1").arg(result.error));
        if (finishing)
            emit declined();
        return;
    }
    m_read = result;
    const QString refusal = startUnpack();
    if (!refusal.isEmpty()) {
        stop();
        m_state = Declined;
        emit refused(refusal);
        return;
    }
    qCInfo(lcUpdate) << "Unpacking" << result.catalog->entries().size()
                     << "entries as the archive arrives";
    m_state = Unpacking;
    if (m_finishing && !finishUnpacking())
        emit declined();
}

QString PipelinedInstall::startUnpack()
{
    m_unpack = new PipelinedUnpack(m_archive, *m_read.catalog, m_tree,
                                   ArchiveInstaller::topFolder(), ArchiveUnpacker::Limits(), this);
    connect(m_unpack, &PipelinedUnpack::finished, this, &PipelinedInstall::unpackFinished);
    const QString refusal = m_unpack->start();
    if (refusal.isEmpty()) {
        for (const auto &[from, to] : std::as_const(m_stored))
            m_unpack->available(from, to);
    }
    return refusal;
}

void PipelinedInstall::unpackAgain()
{
    // A fresh tree from the same catalog, which finish() still holds against the file's end.
    m_unpack->disconnect(this);
    m_unpack->cancel();
    m_unpack->deleteLater();
    m_unpack = nullptr;
    // The catalog passed once: what stands in the way now is no fault of the archive's.
    if (const QString error = startUnpack(); !error.isEmpty())
        decline(tr("it could not be unpacked again: %1").arg(error));
}

bool PipelinedInstall::finish()
{
    if (m_state == Reading) {
        m_finishing = true;
        return true;
    }
    return m_state == Unpacking && finishUnpacking();
}

bool PipelinedInstall::finishUnpacking()
{
    // What was vouched for is the file: its end must be what the catalog was read from.
    if (!sameEnd()) {
        decline(tr("its end is not what its catalog was read from"));
        return false;
    }
    m_unpack->finish();
    return true;
}

bool PipelinedInstall::sameEnd() const
{
    QByteArray end(m_read.tail.size(), Qt::Uninitialized);
    qint64 done = 0;
    while (done < end.size()) {
        const ssize_t got = ::pread(m_archive, end.data() + done, size_t(end.size() - done),
                                    off_t(m_read.tailFrom + done));
        if (got <= 0)
            return false;
        done += got;
    }
    return end == m_read.tail;
}

void PipelinedInstall::unpackFinished(const ArchiveUnpacker::Result &result)
{
    // A tree that finished stays for the installer; one that failed is gone already.
    m_unpack->disconnect(this);
    m_unpack->deleteLater();
    m_unpack = nullptr;
    stop();
    emit unpacked(result);
}

void PipelinedInstall::decline(const QString &why)
{
    qCInfo(lcUpdate).noquote() << "Unpacking once the archive is whole:" << why;
    stop();
    m_state = Declined;
}

void PipelinedInstall::cancel()
{
    stop();
}

void PipelinedInstall::stop()
{
    if (m_catalog) {
        m_catalog->disconnect(this);
        m_catalog->deleteLater();
        m_catalog = nullptr;
    }
    if (m_unpack) {
        m_unpack->disconnect(this);
        m_unpack->cancel();
        m_unpack->deleteLater();
        m_unpack = nullptr;
    }
    if (m_archive >= 0)
        ::close(m_archive);
    m_archive = -1;
    m_state = Idle;
    m_finishing = false;
    m_stored.clear();
    m_read = CatalogFetch::Result();
}

#pragma once

#include "install/archiveunpacker.h"
#include "install/zipcatalog.h"

#include <QObject>

#include <memory>

// Unpacks a zip archive's entries into a fresh folder while the archive is still being
// written: each entry is inflated on a worker of a pool (at most one per core) as soon as all
// of its bytes are in the file, in whatever order the transfer's ranges complete them. A large
// entry (a browser's one big executable) does not wait for its last byte: it starts once its
// header and a first block are in, and inflates front to back as the rest arrives. Every
// rule of ArchiveUnpacker holds for every entry. The tree it leaves is only a candidate: the
// caller judges the whole archive first and calls finish() only once it has been vouched for.
class PipelinedUnpack : public QObject
{
    Q_OBJECT

public:
    // archive: a descriptor of the file being written (duplicated here; only read with
    // pread). destination must not exist yet; its parent must.
    PipelinedUnpack(int archive, const ZipCatalog &catalog, const QString &destination,
                    const QString &topFolder,
                    const ArchiveUnpacker::Limits &limits = ArchiveUnpacker::Limits(),
                    QObject *parent = nullptr);
    // Stops the workers, waits for them, and removes a tree that did not finish.
    ~PipelinedUnpack() override;

    // Checks every entry of the catalog against the unpacker's rules and limits (names,
    // types, counts, declared sizes, free space) and creates the destination. Empty when
    // started; otherwise the refusal, and nothing was written.
    QString start();
    // Bytes [from, to) of the archive are in the file. Called from the thread that made this.
    void available(qint64 from, qint64 to);
    // The whole archive is in the file and vouched for: what is left is unpacked, then
    // finished() reports the outcome (a failure has removed the tree).
    void finish();
    // Stops and removes the tree (moved aside at once, then removed on a pool thread); no
    // finished() follows.
    void cancel();
    // Bytes unpacked so far, for progress.
    qint64 unpackedBytes() const;
    // Entries this large (compressed) or larger are inflated while their bytes arrive. Before
    // start(); a value below one block also starts them after fewer bytes.
    void setStreamingThreshold(qint64 compressedBytes);

signals:
    void finished(const ArchiveUnpacker::Result &result);

private:
    void dispatch(qint64 from, qint64 to);
    void run(qsizetype index, bool streams);
    void entryDone(bool streamed);
    void concludeWhenDone();

    struct State;
    std::unique_ptr<State> m_state; // internals are the implementer's choice
};

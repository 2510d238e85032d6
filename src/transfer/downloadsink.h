#pragma once

#include "transfer/objecthash.h"

#include <QObject>
#include <QThread>

#include <functional>
#include <memory>

class QFile;

// Writes a download to its file and hashes it on a thread of its own: the GUI thread only
// hands over the pieces that arrive and sees progress. What it holds is bounded by the
// caller, who stops reading while pending() is high and reads on when drained() says so.
class DownloadSink : public QObject
{
    Q_OBJECT

public:
    explicit DownloadSink(QObject *parent = nullptr);
    // Waits for the pieces handed over to reach the file.
    ~DownloadSink() override;

    // Takes the open file over for one response: keeps its first `offset` bytes, hashes
    // them as `expected` asks (see ObjectHash::choose), and appends what write() hands
    // over. The file must not be touched elsewhere until finished() or waitForWrites().
    // With `alone` false the file's other ranges are written by other sinks: the bytes
    // outside [hashFrom, offset) are left as they are and not hashed.
    void begin(QFile *file, qint64 offset, const ObjectHash::Expected &expected, bool alone = true,
               qint64 hashFrom = 0);
    void write(const QByteArray &data);
    // Reports synced() once everything handed over is in the file and, where the system
    // can, on the disk.
    void sync();
    // Reports finished() once everything handed over is on disk.
    void finish();
    // Blocks until everything handed over is on disk, finish() or not; the file's size then,
    // -1 when writing failed. Ends the answer: nothing of it is reported after this.
    qint64 waitForWrites();

    bool isBusy() const { return m_busy; }
    qint64 pending() const { return m_pending; }

signals:
    // What was handed over reached the file: pending() counts only what has not.
    void drained();
    // Bytes [from, to) of the file are written, told in batches rather than per piece.
    void stored(qint64 from, qint64 to);
    void synced();
    // Writing failed; later pieces are dropped.
    void failed(const QString &error);
    // checksumMatches: the whole file against `expected` (an absent header matches); crc32c:
    // of what was hashed, when `expected` named CRC-32C.
    void finished(bool written, const QString &error, bool checksumMatches, quint32 crc32c);

private:
    struct State;

    // Runs `what` on this thread unless the answer it belongs to is over by then.
    void tell(quint64 answer, const std::function<void()> &what);
    void stopThread();
    void whenWritten(qint64 end, qint64 bytes, bool written);

    QThread m_thread;
    QObject *m_worker;
    std::shared_ptr<State> m_state;
    bool m_busy = false;
    bool m_running = false;
    qint64 m_pending = 0;
    // Where the next piece handed over goes, and the written span not yet told of.
    qint64 m_handedTo = 0;
    qint64 m_storedFrom = 0;
    qint64 m_storedTo = 0;
    // Counts begin() and waitForWrites(): what is written for an earlier answer is not told of.
    quint64 m_answer = 0;
};

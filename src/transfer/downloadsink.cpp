#include "transfer/downloadsink.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

namespace {

constexpr qint64 writePiece = 64 * 1024;
// A written span is told of once nothing else waits, or once it is this large.
constexpr qint64 storedBatch = 1024 * 1024;

} // namespace

struct DownloadSink::State
{
    // Touched on the worker thread only.
    QFile *file = nullptr;
    ObjectHash hash;
    ObjectHash::Expected expected;
    QString error;
    // The file's size once finish() wrote everything, for a wait that comes after it.
    qint64 finishedSize = -1;
};

DownloadSink::DownloadSink(QObject *parent)
    : QObject(parent)
    , m_worker(new QObject)
    , m_state(std::make_shared<State>())
{
    m_thread.setObjectName(QStringLiteral("download writer"));
    m_worker->moveToThread(&m_thread);
}

DownloadSink::~DownloadSink()
{
    if (m_busy)
        waitForWrites();
    m_thread.quit();
    m_thread.wait();
    delete m_worker;
}

void DownloadSink::begin(QFile *file, qint64 offset, const ObjectHash::Expected &expected,
                         bool alone, qint64 hashFrom)
{
    // The thread runs only while a download does: nothing waits in it between updates.
    if (!m_running) {
        m_thread.wait();
        m_thread.start();
        m_running = true;
    }
    m_busy = true;
    m_pending = 0;
    m_handedTo = m_storedFrom = m_storedTo = offset;
    ++m_answer;
    QMetaObject::invokeMethod(
        m_worker,
        [this, state = m_state, answer = m_answer, file, offset, expected, alone, hashFrom] {
            state->file = file;
            state->error.clear();
            state->finishedSize = -1;
            state->expected = expected;
            state->hash.reset();
            state->hash.choose(expected);
            // The checksum covers the part kept from before too: the whole file, or the range.
            const qint64 from = alone ? 0 : hashFrom;
            if (!file->seek(from))
                state->error = file->errorString();
            QByteArray buffer;
            for (qint64 left = offset - from; left > 0 && state->error.isEmpty();) {
                buffer = file->read(qMin<qint64>(left, 1024 * 1024));
                if (buffer.isEmpty())
                    state->error = file->errorString();
                state->hash.addData(buffer);
                left -= buffer.size();
            }
            if (state->error.isEmpty() && !((!alone || file->resize(offset)) && file->seek(offset)))
                state->error = file->errorString();
            if (!state->error.isEmpty())
                tell(answer, [this, error = state->error] { emit failed(error); });
        },
        Qt::QueuedConnection);
}

void DownloadSink::write(const QByteArray &data)
{
    m_pending += data.size();
    m_handedTo += data.size();
    QMetaObject::invokeMethod(
        m_worker,
        [this, state = m_state, data, answer = m_answer, end = m_handedTo] {
            if (state->error.isEmpty()) {
                state->hash.addData(data);
                // In pieces of the size a network read brings: one write of megabytes makes
                // the kernel gather fresh large page-cache folios, which measured up to 2.5
                // times slower where freed memory goes back to a virtual machine's host.
                qint64 done = 0;
                for (qint64 piece = 0; done < data.size(); done += piece) {
                    piece = qMin<qint64>(data.size() - done, writePiece);
                    if (state->file->write(data.constData() + done, piece) != piece)
                        break;
                }
                // Nothing waits in the file's own buffer: what drained() reports is in the
                // file, so a record noting it never claims bytes a killed run had not written.
                if (done != data.size() || !state->file->flush()) {
                    state->error = state->file->errorString();
                    tell(answer, [this, error = state->error] { emit failed(error); });
                }
            }
            const qint64 size = data.size();
            const bool written = state->error.isEmpty();
            tell(answer, [this, end, size, written] { whenWritten(end, size, written); });
        },
        Qt::QueuedConnection);
}

void DownloadSink::tell(quint64 answer, const std::function<void()> &what)
{
    // An answer that was waited for, or replaced by another, is over: nothing of it that
    // still waits in the queue is told, least of all that it finished.
    QMetaObject::invokeMethod(this, [this, answer, what] {
        if (answer == m_answer)
            what();
        else if (!m_busy)
            stopThread();
    });
}

void DownloadSink::stopThread()
{
    m_thread.quit();
    m_running = false;
}

void DownloadSink::whenWritten(qint64 end, qint64 bytes, bool written)
{
    m_pending -= bytes;
    // Pieces after a failed write are not told of.
    if (written) {
        m_storedTo = end;
        if (m_pending <= 0 || m_storedTo - m_storedFrom >= storedBatch) {
            emit stored(m_storedFrom, m_storedTo);
            m_storedFrom = m_storedTo;
        }
    }
    emit drained();
}

void DownloadSink::sync()
{
    QMetaObject::invokeMethod(
        m_worker,
        [this, state = m_state] {
#ifdef Q_OS_UNIX
            if (state->file && state->error.isEmpty() && state->file->flush())
                ::fdatasync(state->file->handle());
#endif
            QMetaObject::invokeMethod(this, [this] { emit synced(); });
        },
        Qt::QueuedConnection);
}

void DownloadSink::finish()
{
    QMetaObject::invokeMethod(
        m_worker,
        [this, state = m_state, answer = m_answer] {
            if (state->error.isEmpty() && !state->file->flush())
                state->error = state->file->errorString();
            const bool written = state->error.isEmpty();
            const bool matches = state->hash.matches(state->expected);
            const quint32 crc = state->hash.crc32c();
            state->finishedSize = written ? state->file->size() : -1;
            state->file = nullptr;
            tell(answer, [this, written, error = state->error, matches, crc] {
                m_busy = false;
                stopThread();
                emit finished(written, error, matches, crc);
            });
        },
        Qt::QueuedConnection);
}

qint64 DownloadSink::waitForWrites()
{
    qint64 size = -1;
    QMetaObject::invokeMethod(
        m_worker,
        [state = m_state, &size] {
            if (state->file && state->error.isEmpty() && state->file->flush())
                size = state->file->size();
            else if (!state->file)
                size = state->finishedSize;
            state->file = nullptr;
        },
        Qt::BlockingQueuedConnection);
    m_busy = false;
    m_pending = 0;
    ++m_answer;
    return size;
}

#pragma once

#include "builds/keptpart.h"
#include "builds/objecthash.h"
#include "builds/partialdownload.h"
#include "builds/transferguard.h"
#include "builds/transferverdict.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

#include <optional>

class DownloadSink;
class QNetworkReply;
class ParallelRanges;
class QFile;
class QNetworkAccessManager;

// Brings one storage object whole and checked into a file the caller opened: follows
// redirects, guards size, disk and pace, resumes a kept part, fetches a large file in
// parallel ranges, tries again within the attempt, and judges the checksum. It knows nothing
// of what the file is for.
class ArchiveFetch : public QObject
{
    Q_OBJECT

public:
    enum Outcome { Complete, NotFound, Failed };

    // What to judge the body by instead of the response's own x-goog-hash, for a mirror
    // whose bytes the storage's metadata vouches for.
    struct Expected
    {
        ObjectHash::Expected hash;
        qint64 size = -1;
        QByteArray generation;
    };

    struct Request
    {
        QUrl url;
        // Open for reading and writing; holds the kept part that `record` describes.
        QFile *file = nullptr;
        PartialDownload::Record record;
        // Where the record of a kept part is written; none keeps nothing past this object.
        std::optional<PartialDownload> partial;
        // The upload to ask for (x-goog-if-generation-match); empty for whatever is there.
        QByteArray generation;
        std::optional<Expected> expected;
    };

    struct Result
    {
        Outcome outcome = Failed;
        QString error;
        int httpStatus = 0;
        // A part stays on disk, with its record, for a later attempt.
        bool partKept = false;
        // The whole body arrived and did not match what it was judged by.
        bool mismatch = false;
        // What the body was judged by, and the CRC-32C computed of it (when it was).
        Expected judgedBy;
        quint32 crc32c = 0;
    };

    // What the latest answer that brought the file's bytes said of it: enough to ask the same
    // source for another piece of the same upload.
    struct Answer
    {
        // Where it came from, after redirects.
        QUrl url;
        // The whole file's size; -1 when not told.
        qint64 size = -1;
        // A 206 with the file's total: the source serves ranges.
        bool ranges = false;
        // It continues the part on disk rather than starting the file anew.
        bool resumed = false;
        QByteArray etag;
        QByteArray generation;
        // What of the file was on disk before it: [from, to) spans.
        QList<QPair<qint64, qint64>> kept;
    };

    static constexpr int maximumRedirects = 10;
    // Bounds what a transfer holds in memory; the rest waits in the socket until drained.
    static constexpr qint64 readBufferSize = 2 * 1024 * 1024;
    // Bounds what waits for the writer thread; reading pauses above it.
    static constexpr qint64 maximumPending = 2 * 1024 * 1024;

    explicit ArchiveFetch(QObject *parent = nullptr);
    ~ArchiveFetch() override;

    void setNetworkAccessManager(QNetworkAccessManager *manager) { m_manager = manager; }
    // Test seams: how long a transfer may go without receiving a byte, and the window over
    // which a transfer must average minimumBytesPerSecond.
    void setTransferTimeout(int milliseconds) { m_transferTimeout = milliseconds; }
    void setTrickleWindow(int milliseconds) { m_guard->setWindow(milliseconds); }
    // Test seam: the pauses before the tries that resume a broken transfer within one attempt.
    static void setRetryDelays(const QList<int> &delays)
    {
        TransferVerdict::setRetryDelays(delays);
    }
    // Test seam: the size from which a file comes in parallel ranges (64 MiB).
    static void setParallelThreshold(qint64 bytes) { KeptPart::setParallelThreshold(bytes); }

    void start(const Request &request);
    // Stops at once, for quitting: what is on disk is kept for a later attempt where it can
    // be resumed. True when a part was kept.
    bool halt();
    bool isRunning() const { return m_running; }
    // How the last transfer ended.
    const Result &result() const { return m_result; }
    // The latest answer that brought the file's bytes; valid from answered() on.
    const Answer &answer() const { return m_answer; }
    int transferTimeout() const { return m_transferTimeout; }
    // The manager requests go through, once the first was made.
    QNetworkAccessManager *networkAccessManager() const { return m_manager; }

signals:
    // Each request, the first, every redirect and every try.
    void requested();
    // An answer brings the file's bytes (the whole file, its rest or its first range).
    void answered();
    // The kept part counts as received.
    void progressed(qint64 received, qint64 total);
    // Bytes [from, to) of the file are written, whichever answer or range brought them; told
    // in batches. A try that is stopped may leave its last ones untold.
    void stored(qint64 from, qint64 to);
    void finished(const ArchiveFetch::Result &result);

private:
    void get(const QUrl &address);
    void retry() { get(m_request.url); }
    void checkAnnouncedSize();
    bool judgeRange(int status);
    void resume(int status);
    void judgeWhole(int status, const ObjectHash::Expected &expected);
    void askWhole(int status);
    ObjectHash::Expected expected(const QNetworkReply *reply) const;
    void read(bool all);
    void replyError();
    void replyFinished();
    bool redirect(int status, const QByteArray &location);
    void written(bool written, const QString &writeError, bool checksumMatches, quint32 crc);
    // `ranged`: what this try's ranges brought, -1 when one stream brought it.
    void judge(QString problem, bool written, bool checksumMatches, qint64 ranged = -1);
    void startRanges(int status, const ObjectHash::Expected &expected);
    void rangesEnded(const QString &rangeError, quint32 crc);
    bool resumable(int status) const;
    void fail(const QString &error);
    void report(Outcome outcome, const QString &error = QString(), bool partKept = false);
    void releaseReply();
    void reportProgress(qint64 received, qint64 total);
    void noteAnswer(int status, bool resumed);

    QNetworkAccessManager *m_manager = nullptr;
    Request m_request;
    QPointer<QNetworkReply> m_reply;
    QUrl m_address;
    DownloadSink *m_sink;
    int m_transferTimeout = 60000;
    int m_redirects = 0;
    bool m_running = false;
    // What the running try was told and found.
    QString m_transferError;
    Result m_result;
    Answer m_answer;
    bool m_judged = false;
    // The answer brings the rest of a kept part.
    bool m_resumed = false;
    bool m_startOver = false;
    // What the running request asked of a file not begun: its first bytes, 0 for all.
    qint64 m_piece = 0;
    // We gave the transfer up (too large, too slow, disk): nothing to resume.
    bool m_refused = false;
    // What of the file is on disk and its record; m_request's record is where it began.
    KeptPart m_part;
    // The ranges while a large file comes in parallel (m_part's record's ranges).
    ParallelRanges *m_ranges;
    // What the answer's body is judged by and came to, and when a broken try is made again.
    TransferVerdict *m_verdict;
    TransferGuard *m_guard;
};

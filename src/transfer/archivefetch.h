#pragma once

#include "transfer/fetchanswer.h"
#include "transfer/fetchrequest.h"
#include "transfer/keptpart.h"
#include "transfer/transferguard.h"
#include "transfer/transferverdict.h"

#include <QObject>
#include <QPointer>
#include <QUrl>

class DownloadSink;
class QNetworkReply;
class ParallelRanges;
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

    using Expected = FetchExpected;
    using Request = FetchRequest;

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

    // What the latest answer that brought the file's bytes said of it.
    using Answer = FetchAnswer;

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
    bool isRunning() const { return m_phase != Phase::Idle; }
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
    // Where the transfer stands: each request is asked, its answer judged, and its body
    // received; a try may break on the way, or be given up.
    enum class Phase {
        Idle,
        Asking, // the answer is not judged yet
        Receiving, // the file from its start, its first piece or the ranges' first
        Unchecked, // the same, its checksum unreadable: nothing of it is kept
        Resuming, // the rest of the kept part
        StartingOver, // the answer goes unread: its end asks for the whole file
        Broken, // m_problem says why; what arrived may be resumed
        Refused, // given up (too large, too slow, disk): nothing to resume
    };
    bool broken() const { return m_phase == Phase::Broken || m_phase == Phase::Refused; }
    // What the answer was judged to be, also once the try broke.
    Phase answerPhase() const { return broken() ? m_brokeIn : m_phase; }
    bool refused() const { return m_phase == Phase::Refused || answerPhase() == Phase::Unchecked; }
    void breakOff(Phase phase, const QString &problem);
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

    QNetworkAccessManager *m_manager = nullptr;
    Request m_request;
    QPointer<QNetworkReply> m_reply;
    QUrl m_address;
    DownloadSink *m_sink;
    int m_transferTimeout = 60000;
    int m_redirects = 0;
    Phase m_phase = Phase::Idle;
    Phase m_brokeIn = Phase::Idle;
    QString m_problem;
    Result m_result;
    Answer m_answer;
    // What the running request asked of a file not begun: its first bytes, 0 for all.
    qint64 m_piece = 0;
    // What of the file is on disk and its record; m_request's record is where it began.
    KeptPart m_part;
    // The ranges while a large file comes in parallel (m_part's record's ranges).
    ParallelRanges *m_ranges;
    // What the answer's body is judged by and came to, and when a broken try is made again.
    TransferVerdict *m_verdict;
    TransferGuard *m_guard;
};

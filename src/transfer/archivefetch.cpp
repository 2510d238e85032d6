#include "transfer/archivefetch.h"

#include "common/updatelog.h"
#include "transfer/downloadsink.h"
#include "transfer/keptpart.h"
#include "transfer/parallelranges.h"
#include "transfer/rangeplan.h"
#include "transfer/redirectrule.h"
#include "transfer/transferrequest.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

ArchiveFetch::ArchiveFetch(QObject *parent)
    : QObject(parent)
    , m_sink(new DownloadSink(this))
    , m_ranges(new ParallelRanges(this))
    , m_verdict(new TransferVerdict(this))
    , m_guard(new TransferGuard([this] { return m_part.received() + m_ranges->received(); }, this))
{
    connect(m_ranges, &ParallelRanges::progressed, this, [this] { reportProgress(0, 0); });
    connect(m_ranges, &ParallelRanges::finished, this, &ArchiveFetch::rangesEnded);
    connect(m_sink, &DownloadSink::drained, this, [this] { read(false); });
    connect(m_sink, &DownloadSink::stored, this, &ArchiveFetch::stored);
    connect(m_ranges, &ParallelRanges::stored, this, &ArchiveFetch::stored);
    connect(m_sink, &DownloadSink::failed, this, [this](const QString &error) {
        if (m_phase == Phase::Idle)
            return;
        const QString file = QFileInfo(m_request.file->fileName()).absolutePath();
        fail(tr("Cannot write the download to %1: %2").arg(QDir::toNativeSeparators(file), error));
    });
    connect(m_sink, &DownloadSink::finished, this, &ArchiveFetch::written);
    connect(m_verdict, &TransferVerdict::retry, this, &ArchiveFetch::retry);
    connect(m_guard, &TransferGuard::tooSlow, this, &ArchiveFetch::fail);
}

ArchiveFetch::~ArchiveFetch()
{
    halt();
}

void ArchiveFetch::start(const Request &request)
{
    m_request = request;
    m_part.adopt(request.file, request.record, request.partial);
    m_verdict->restart();
    m_redirects = 0;
    get(request.url);
}

bool ArchiveFetch::halt()
{
    if (m_phase == Phase::Idle)
        return false;
    m_guard->stop();
    // What arrived is kept for the next start: a try that waits kept it already.
    bool keep = m_verdict->isWaiting();
    m_verdict->stop();
    QNetworkReply *reply = m_reply;
    const int status = reply ? TransferRequest::status(reply) : m_verdict->status();
    releaseReply();
    if (reply)
        reply->abort();
    if (m_ranges->isRunning()) {
        m_ranges->halt();
        m_part.keepRanges(m_ranges->kept(m_part.record()));
        keep = m_part.partial() && resumable(status) && m_part.save() && m_part.record().kept > 0;
    } else if (reply && m_sink->isBusy() && resumable(status)) {
        keep = m_part.keepWritten(m_sink->waitForWrites());
    }
    m_ranges->stop();
    if (m_sink->isBusy())
        m_sink->waitForWrites();
    m_phase = Phase::Idle;
    return keep;
}

void ArchiveFetch::get(const QUrl &address)
{
    m_address = address;
    m_phase = Phase::Asking;
    m_problem.clear();
    m_ranges->stop();
    m_part.request();
    m_piece = m_part.firstPiece();
    m_verdict->clear();
    m_guard->start();
    emit requested();

    qCInfo(lcUpdate) << "GET" << address.toString();
    if (!m_manager)
        m_manager = new QNetworkAccessManager(this);
    const QByteArray pin = m_request.expected && !m_request.expected->generation.isEmpty()
        ? m_request.expected->generation
        : m_request.generation;
    m_reply = m_manager->get(TransferRequest::make(address, m_part.record(), m_part.offset(), pin,
                                                   m_transferTimeout, m_piece));
    m_reply->setReadBufferSize(readBufferSize);
    connect(m_reply, &QNetworkReply::finished, this, &ArchiveFetch::replyFinished);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &ArchiveFetch::replyError);
    connect(m_reply, &QNetworkReply::downloadProgress, this, &ArchiveFetch::reportProgress);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] { read(false); });
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &ArchiveFetch::checkAnnouncedSize);
}

ObjectHash::Expected ArchiveFetch::expected(const QNetworkReply *reply) const
{
    if (m_request.expected)
        return m_request.expected->hash;
    // A resumed answer is judged by what the first answer named, never by its own headers.
    return answerPhase() == Phase::Resuming ? m_part.firstChecksums()
                                            : ObjectHash::parse(reply->rawHeader("x-goog-hash"));
}

void ArchiveFetch::checkAnnouncedSize()
{
    QNetworkReply *reply = m_reply;
    if (!reply || broken())
        return;
    const int status = TransferRequest::status(reply);
    // A redirect is judged at its target.
    if ((status >= 300 && status <= 399) || !judgeRange(status))
        return;
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (status < 200 || status > 299 || !announced.isValid())
        return;
    const qint64 size
        = m_part.inRanges() ? m_part.record().size : m_part.offset() + announced.toLongLong();
    const QString refusal
        = TransferGuard::refusal(size, QFileInfo(m_request.file->fileName()).absolutePath());
    if (!refusal.isEmpty())
        fail(refusal);
}

bool ArchiveFetch::judgeRange(int status)
{
    if (m_phase != Phase::Asking)
        return m_phase != Phase::StartingOver;
    m_phase = Phase::Receiving;
    const ObjectHash::Expected expected = this->expected(m_reply);
    if (m_part.offset() > 0 || m_part.inRanges()) {
        const PartialDownload::Answer answer = m_part.judge(m_reply, status, expected);
        if (answer == PartialDownload::Append) {
            m_answer = FetchAnswer::of(m_reply, m_address, status, true, m_part);
            resume(status);
            emit answered();
            return true;
        }
        qCInfo(lcUpdate) << "HTTP" << status << "to a range request:"
                         << (answer == PartialDownload::UseWhole ? "the whole file"
                                                                 : "starting over");
        m_part.restart();
        if (answer == PartialDownload::StartOver) {
            // Completes the reply; its finished() asks for the whole file.
            m_phase = Phase::StartingOver;
            // An error status completes the reply by itself, its body unread.
            if (status >= 200 && status <= 299)
                m_reply->abort();
            return false;
        }
    }
    if (m_piece > 0
        && (status == 416 || (status == 206 && !m_part.answersPiece(m_reply, m_piece, expected)))) {
        askWhole(status);
    } else {
        m_answer = FetchAnswer::of(m_reply, m_address, status, false, m_part);
        judgeWhole(status, expected);
    }
    if (m_phase == Phase::StartingOver)
        return false;
    if (status >= 200 && status <= 299)
        emit answered();
    return true;
}

void ArchiveFetch::resume(int status)
{
    m_phase = Phase::Resuming;
    const ObjectHash::Expected first = expected(m_reply);
    if (m_part.inRanges()) {
        startRanges(status, first);
        return;
    }
    m_sink->begin(m_request.file, m_part.offset(), first);
    m_part.growing();
}

void ArchiveFetch::judgeWhole(int status, const ObjectHash::Expected &expected)
{
    // The first piece tells the file's size: the piece is the first range, or the file.
    const bool piece = m_piece > 0 && status == 206;
    const bool first = status == 200 || piece;
    // A checksum that cannot be read fails the file, and leaves nothing to resume by.
    if (first && expected.malformed)
        m_phase = Phase::Unchecked;
    if (first && m_part.whole(m_reply, expected, piece ? m_piece : 0))
        startRanges(status, expected);
    else if (piece && m_part.record().size > m_piece)
        askWhole(status); // the rest cannot come in ranges (the file could not be sized)
    else if (status >= 200 && status <= 299)
        m_sink->begin(m_request.file, 0, expected);
    // Written now, so that even a run that is killed leaves a part to resume; ranges that
    // kept nothing yet leave none.
    if (first && m_phase != Phase::StartingOver && resumable(status))
        m_part.note();
}

void ArchiveFetch::askWhole(int status)
{
    // A server that would not give the first piece, or a piece whose rest cannot come in
    // ranges: the whole file is asked for instead. Completes the reply; its finished() asks.
    qCInfo(lcUpdate) << "HTTP" << status << "to the first piece: asking for the whole file";
    m_part.askWhole();
    m_phase = Phase::StartingOver;
    if (status >= 200 && status <= 299)
        m_reply->abort();
}

bool ArchiveFetch::resumable(int status) const
{
    return !refused() && m_part.resumable(status, answerPhase() != Phase::Asking);
}

void ArchiveFetch::read(bool all)
{
    if (!m_reply || broken() || m_phase == Phase::StartingOver)
        return;
    if (m_phase == Phase::Asking)
        checkAnnouncedSize();
    // Ranges read their own replies.
    if (!m_reply)
        return;
    // A redirect's or an error's body is not the file.
    if (!m_sink->isBusy()) {
        m_reply->skip(m_reply->bytesAvailable());
        return;
    }
    // What the writer has not written yet stays bounded: the rest waits in the socket.
    while (all || m_sink->pending() < maximumPending) {
        const QByteArray data = m_reply->read(readBufferSize);
        if (data.isEmpty())
            return;
        m_part.add(data.size());
        if (m_part.reached() > TransferGuard::maximumSize) {
            fail(TransferGuard::refusal(m_part.reached()));
            return;
        }
        m_sink->write(data);
    }
}

void ArchiveFetch::replyError()
{
    if (m_reply && !broken() && m_phase != Phase::StartingOver)
        breakOff(Phase::Broken, TransferRequest::problem(m_reply, m_part.received()));
}

void ArchiveFetch::fail(const QString &error)
{
    breakOff(Phase::Refused, error);
    // Completes the reply at once; its finished() gives the transfer up.
    if (m_reply)
        m_reply->abort();
    m_ranges->fail(error);
}

void ArchiveFetch::reportProgress(qint64 received, qint64 total)
{
    if (answerPhase() == Phase::StartingOver)
        return;
    // The kept part counts as arrived, and so do the ranges with theirs.
    if (m_ranges->isRunning()) {
        received = m_ranges->progress();
        total = m_part.record().size;
    } else {
        received += m_part.offset();
        if (total > 0)
            total += m_part.offset();
    }
    emit progressed(received, total);
}

void ArchiveFetch::replyFinished()
{
    QNetworkReply *reply = m_reply;
    if (!reply || sender() != reply)
        return;
    read(true);
    // The ranges took the reply over, and end on their own.
    if (m_ranges->isRunning())
        return;
    const int status = TransferRequest::status(reply);
    if (redirect(status, reply->rawHeader("Location")))
        return;
    if (answerPhase() == Phase::StartingOver) {
        releaseReply();
        get(m_address);
        return;
    }
    const QString problem
        = broken() ? m_problem : TransferRequest::problem(reply, m_part.received());
    if (!broken() && !problem.isEmpty())
        breakOff(Phase::Broken, problem);
    m_verdict->answered(reply, expected(reply));
    releaseReply();
    if (!refused() && status == 404) {
        qCInfo(lcUpdate) << "HTTP 404";
        report(NotFound, m_problem);
        return;
    }
    // The writer reports when the file is whole on disk.
    if (m_sink->isBusy())
        m_sink->finish();
    else
        written(true, QString(), false, 0);
}

bool ArchiveFetch::redirect(int status, const QByteArray &location)
{
    // Only a 3xx redirects: a 200 that happens to carry a Location is the file itself.
    if (broken() || status < 300 || status > 399 || location.isEmpty())
        return false;
    const QUrl target = RedirectRule::target(m_address, location);
    qCInfo(lcUpdate) << "HTTP" << status << "redirect to" << target.toString();
    releaseReply();
    if (target.isEmpty() || ++m_redirects > maximumRedirects) {
        m_verdict->answered(status, ObjectHash::Expected(), false);
        report(Failed, TransferRequest::refusedRedirect(location, !target.isEmpty()));
        return true;
    }
    get(target);
    return true;
}

void ArchiveFetch::written(bool written, const QString &writeError, bool checksumMatches,
                           quint32 crc)
{
    m_verdict->written(crc);
    QString problem = m_problem;
    if (problem.isEmpty() && !written)
        problem = tr("Cannot write the download: %1").arg(writeError);
    judge(problem, written, checksumMatches);
}

void ArchiveFetch::judge(QString problem, bool written, bool checksumMatches, qint64 ranged)
{
    problem = m_verdict->judge(problem, checksumMatches, m_request.url,
                               ranged < 0 ? m_part.received() : ranged, ranged >= 0);
    if (problem.isEmpty()) {
        report(Complete);
    } else if (written && resumable(m_verdict->status())) {
        // A transfer that broke keeps what arrived; the next try asks for the rest only.
        const bool kept = m_part.save();
        if (m_verdict->retryLater()) {
            m_guard->stop();
            return;
        }
        report(Failed, problem, kept && m_part.partial().has_value());
    } else {
        report(Failed, problem);
    }
}

void ArchiveFetch::startRanges(int status, const ObjectHash::Expected &expected)
{
    // The answered reply brings the first unfinished range; each other range asks for its
    // own on a connection of its own.
    m_verdict->answered(status, expected, true);
    QNetworkReply *reply = m_reply;
    reply->disconnect(this);
    m_reply = nullptr;
    m_ranges->start(
        m_part.record(), reply,
        { m_manager, m_address, m_request.file->fileName(), m_transferTimeout, m_part.partial() });
}

void ArchiveFetch::rangesEnded(const QString &rangeError, quint32 crc)
{
    const QString problem = broken() ? m_problem : rangeError;
    const bool matches = m_verdict->rangesMatch(crc);
    reportProgress(0, 0);
    const qint64 received = m_ranges->received();
    if (problem.isEmpty()) {
        m_part.complete();
    } else {
        // The range that broke and its answer, not the first answer's.
        qCInfo(lcUpdate).noquote()
            << "A range failed:" << (broken() ? QStringLiteral("all") : m_ranges->failedRange())
            << problem;
        m_part.keepRanges(m_ranges->kept(m_part.record()));
    }
    m_ranges->stop();
    judge(problem, true, matches, received);
}

void ArchiveFetch::breakOff(Phase phase, const QString &problem)
{
    // Nothing runs to break once the transfer has ended.
    if (m_phase == Phase::Idle)
        return;
    m_brokeIn = answerPhase();
    m_phase = phase;
    m_problem = problem;
}

void ArchiveFetch::report(Outcome outcome, const QString &error, bool partKept)
{
    m_phase = Phase::Idle;
    m_guard->stop();
    m_verdict->stop();
    m_ranges->stop();
    if (m_sink->isBusy())
        m_sink->waitForWrites();
    Result &result = m_result;
    result = Result();
    result.outcome = outcome;
    result.error = error;
    result.httpStatus = m_verdict->status();
    result.partKept = partKept;
    result.mismatch = outcome == Failed && m_verdict->mismatch();
    result.judgedBy.hash = m_verdict->expected();
    result.judgedBy.size = m_part.record().size;
    result.judgedBy.generation = m_part.record().generation;
    result.crc32c = m_verdict->crc32c();
    emit finished(result);
}

void ArchiveFetch::releaseReply()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->deleteLater();
        m_reply = nullptr;
    }
}

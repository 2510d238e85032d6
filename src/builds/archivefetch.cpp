#include "builds/archivefetch.h"

#include "builds/buildnumber.h"
#include "builds/crc32c.h"
#include "builds/downloadsink.h"
#include "builds/parallelranges.h"
#include "builds/rangeplan.h"
#include "builds/transferguard.h"
#include "builds/transferrequest.h"
#include "common/updatelog.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

namespace {

// The one piece of mutable global state here: the test seams for the retry pauses and the
// size from which a file comes in ranges.
QList<int> &retryDelays()
{
    static QList<int> delays { 1000, 4000, 16000 };
    return delays;
}

qint64 &parallelThreshold()
{
    static qint64 threshold = 64 * 1024 * 1024;
    return threshold;
}

} // namespace

ArchiveFetch::ArchiveFetch(QObject *parent)
    : QObject(parent)
    , m_sink(new DownloadSink(this))
    , m_ranges(new ParallelRanges(this))
    , m_guard(new TransferGuard([this] { return m_received + m_ranges->received(); }, this))
{
    connect(m_ranges, &ParallelRanges::progressed, this, [this] { reportProgress(0, 0); });
    connect(m_ranges, &ParallelRanges::finished, this, &ArchiveFetch::rangesEnded);
    connect(m_sink, &DownloadSink::drained, this, [this] { read(false); });
    connect(m_sink, &DownloadSink::failed, this, [this](const QString &error) {
        if (!m_running)
            return;
        const QString file = QFileInfo(m_request.file->fileName()).absolutePath();
        fail(tr("Cannot write the download to %1: %2").arg(QDir::toNativeSeparators(file), error));
    });
    connect(m_sink, &DownloadSink::finished, this, &ArchiveFetch::written);
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &ArchiveFetch::retry);
    connect(m_guard, &TransferGuard::tooSlow, this, &ArchiveFetch::fail);
}

ArchiveFetch::~ArchiveFetch()
{
    halt();
}

void ArchiveFetch::setTrickleWindow(int milliseconds)
{
    m_guard->setWindow(milliseconds);
}

void ArchiveFetch::setRetryDelays(const QList<int> &milliseconds)
{
    retryDelays() = milliseconds;
}

void ArchiveFetch::setParallelThreshold(qint64 bytes)
{
    parallelThreshold() = bytes;
}

void ArchiveFetch::start(const Request &request)
{
    m_request = request;
    m_mismatch = false;
    m_redirects = 0;
    m_retries = 0;
    m_running = true;
    // Kept ranges say where the next request starts themselves.
    m_offset = request.record.ranges.isEmpty() ? request.record.kept : 0;
    m_received = 0;
    get(request.url);
}

bool ArchiveFetch::halt()
{
    if (!m_running)
        return false;
    m_running = false;
    m_guard->stop();
    // What arrived is kept for the next start: a try that waits kept it already.
    bool keep = m_retryTimer.isActive();
    m_retryTimer.stop();
    QNetworkReply *reply = m_reply;
    const int status = reply ? TransferRequest::status(reply) : m_status;
    releaseReply();
    if (reply)
        reply->abort();
    if (m_ranges->isRunning()) {
        m_ranges->halt();
        keepRanges();
        keep = m_request.partial && resumable(status) && saveKept() && m_request.record.kept > 0;
    } else if (reply && m_sink->isBusy() && resumable(status)) {
        m_request.record.kept = m_sink->waitForWrites();
        keep = m_request.partial && m_request.record.kept > 0
            && m_request.partial->save(m_request.record);
    }
    m_ranges->stop();
    if (m_sink->isBusy())
        m_sink->waitForWrites();
    return keep;
}

void ArchiveFetch::get(const QUrl &address)
{
    m_address = address;
    m_transferError.clear();
    m_refused = false;
    m_judged = false;
    m_resumed = false;
    m_ranges->stop();
    m_startOver = false;
    m_received = 0;
    m_status = 0;
    m_expected = ObjectHash::Expected();
    m_endKnown = false;
    // Ranges that broke resume each on its own: this request asks the first unfinished one
    // for its rest, and the others follow once it is answered.
    const PartialDownload::Range first = m_request.record.next();
    if (!m_request.record.ranges.isEmpty())
        m_offset = first.from + first.kept;
    m_guard->start();
    emit requested();

    qCInfo(lcUpdate) << "GET" << address.toString();
    if (!m_manager)
        m_manager = new QNetworkAccessManager(this);
    const QByteArray pin = m_request.expected && !m_request.expected->generation.isEmpty()
        ? m_request.expected->generation
        : m_request.generation;
    m_reply = m_manager->get(
        TransferRequest::make(address, m_request.record, m_offset, pin, m_transferTimeout));
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
    if (!m_resumed)
        return ObjectHash::parse(reply->rawHeader("x-goog-hash"));
    // A resumed answer is judged by what the first answer named, never by its own headers.
    ObjectHash::Expected first;
    first.crc32c = m_request.record.crc32c;
    first.md5 = m_request.record.md5;
    first.present = !first.crc32c.isEmpty() || !first.md5.isEmpty();
    return first;
}

void ArchiveFetch::checkAnnouncedSize()
{
    QNetworkReply *reply = m_reply;
    if (!reply || !m_transferError.isEmpty())
        return;
    const int status = TransferRequest::status(reply);
    // A redirect is judged at its target.
    if ((status >= 300 && status <= 399) || !judgeRange(status))
        return;
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (status < 200 || status > 299 || !announced.isValid())
        return;
    const qint64 size = !m_request.record.ranges.isEmpty() ? m_request.record.size
                                                           : m_offset + announced.toLongLong();
    const QString refusal
        = TransferGuard::refusal(size, QFileInfo(m_request.file->fileName()).absolutePath());
    if (!refusal.isEmpty())
        fail(refusal);
}

bool ArchiveFetch::judgeRange(int status)
{
    if (m_judged)
        return !m_startOver;
    m_judged = true;
    PartialDownload::Record &record = m_request.record;
    const ObjectHash::Expected expected = this->expected(m_reply);
    if (m_offset > 0 || !record.ranges.isEmpty()) {
        const PartialDownload::Answer answer = judgeResume(status, expected);
        if (answer == PartialDownload::Append) {
            resume(status);
            return true;
        }
        qCInfo(lcUpdate) << "HTTP" << status << "to a range request:"
                         << (answer == PartialDownload::UseWhole ? "the whole file"
                                                                 : "starting over");
        m_offset = 0;
        record.ranges.clear();
        if (answer == PartialDownload::StartOver) {
            // Completes the reply; its finished() asks for the whole file.
            m_startOver = true;
            // An error status completes the reply by itself, its body unread.
            if (status >= 200 && status <= 299)
                m_reply->abort();
            return false;
        }
    }
    judgeWhole(status, expected);
    return true;
}

PartialDownload::Answer ArchiveFetch::judgeResume(int status, const ObjectHash::Expected &own) const
{
    const PartialDownload::Record &record = m_request.record;
    const auto answer = PartialDownload::judge(record, status, m_reply->rawHeader("Content-Range"),
                                               m_reply->rawHeader("ETag"),
                                               m_reply->rawHeader("x-goog-generation"));
    // The checksums the first answer named judge the whole file: an answer that names others
    // is of another upload, and one that names none is judged by them all the same.
    const bool other = own.malformed || (!own.crc32c.isEmpty() && own.crc32c != record.crc32c)
        || (!own.md5.isEmpty() && own.md5 != record.md5);
    return answer == PartialDownload::Append && other ? PartialDownload::StartOver : answer;
}

void ArchiveFetch::resume(int status)
{
    m_resumed = true;
    const ObjectHash::Expected first = expected(m_reply);
    if (!m_request.record.ranges.isEmpty()) {
        startRanges(status, first);
        return;
    }
    m_sink->begin(m_request.file, m_offset, first);
    // The part grows from here, and the record says so: a run killed now leaves a part the
    // next start resumes, rather than one it discards for having outgrown the kept count.
    if (m_request.partial) {
        PartialDownload::Record growing = m_request.record;
        growing.kept = 0; // the part as the disk has it
        m_request.partial->save(growing);
    }
}

void ArchiveFetch::judgeWhole(int status, const ObjectHash::Expected &expected)
{
    PartialDownload::Record &record = m_request.record;
    const QByteArray etag = m_reply->rawHeader("ETag");
    const QVariant announced = m_reply->header(QNetworkRequest::ContentLengthHeader);
    const qint64 length = announced.isValid() ? announced.toLongLong() : -1;
    if (status == 200) {
        record.etag = etag;
        record.generation = m_reply->rawHeader("x-goog-generation");
        record.size = length;
        record.kept = 0;
        record.ranges.clear();
        record.crc32c = expected.crc32c;
        record.md5 = expected.md5;
        // A checksum that cannot be read fails the file, and leaves nothing to resume by.
        m_refused = expected.malformed;
    }
    // Storage servers often cap each connection: a large file comes in ranges side by side.
    // Preallocated: each range's bytes stay at their offset, whichever range breaks.
    const bool split = status == 200 && m_request.file->size() == 0
        && RangePlan::splits(length, etag, expected, parallelThreshold(),
                             TransferGuard::maximumSize)
        && m_request.file->resize(length);
    if (split) {
        record.ranges = RangePlan::plan(length);
        startRanges(status, expected);
    } else if (status >= 200 && status <= 299) {
        m_sink->begin(m_request.file, 0, expected);
    }
    // Written now, so that even a run that is killed leaves a part to resume; ranges that
    // kept nothing yet leave none.
    if (status == 200 && m_request.partial && resumable(status))
        m_request.partial->save(record);
}

bool ArchiveFetch::resumable(int status) const
{
    const PartialDownload::Record &record = m_request.record;
    const qint64 have = record.ranges.isEmpty() ? m_offset + m_received : record.kept;
    return !m_refused && RangePlan::resumable(record, have, status, m_judged);
}

void ArchiveFetch::read(bool all)
{
    if (!m_reply || !m_transferError.isEmpty() || m_startOver)
        return;
    if (!m_judged)
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
        m_received += data.size();
        if (m_offset + m_received > TransferGuard::maximumSize) {
            fail(TransferGuard::refusal(m_offset + m_received));
            return;
        }
        m_sink->write(data);
    }
}

void ArchiveFetch::replyError()
{
    if (m_reply && m_transferError.isEmpty() && !m_startOver)
        m_transferError = TransferRequest::problem(m_reply, m_received);
}

void ArchiveFetch::fail(const QString &error)
{
    m_transferError = error;
    m_refused = true;
    // Completes the reply at once; its finished() gives the transfer up.
    if (m_reply)
        m_reply->abort();
    m_ranges->fail(error);
}

void ArchiveFetch::reportProgress(qint64 received, qint64 total)
{
    if (m_startOver)
        return;
    // The kept part counts as arrived, and so do the ranges with theirs.
    if (m_ranges->isRunning()) {
        received = m_ranges->progress();
        total = m_request.record.size;
    } else {
        received += m_offset;
        if (total > 0)
            total += m_offset;
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
    if (m_startOver) {
        releaseReply();
        get(m_address);
        return;
    }
    m_transferError
        = m_transferError.isEmpty() ? TransferRequest::problem(reply, m_received) : m_transferError;
    m_status = status;
    m_expected = expected(reply);
    // A body that simply stops looks like one that ended: only an announced length, the
    // end of a chunked body, an HTTP/2 stream's end or the storage's checksum tell them apart.
    m_endKnown = reply->header(QNetworkRequest::ContentLengthHeader).isValid()
        || reply->rawHeader("Transfer-Encoding").toLower().contains("chunked")
        || reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
    releaseReply();
    if (!m_refused && status == 404) {
        qCInfo(lcUpdate) << "HTTP 404";
        report(NotFound, m_transferError);
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
    if (!m_transferError.isEmpty() || status < 300 || status > 399 || location.isEmpty())
        return false;
    const QUrl target = BuildNumber::redirectTarget(m_address, location);
    qCInfo(lcUpdate) << "HTTP" << status << "redirect to" << target.toString();
    releaseReply();
    if (target.isEmpty() || ++m_redirects > maximumRedirects) {
        m_status = status;
        report(Failed, TransferRequest::refusedRedirect(location, !target.isEmpty()));
        return true;
    }
    get(target);
    return true;
}

void ArchiveFetch::written(bool written, const QString &writeError, bool checksumMatches,
                           quint32 crc)
{
    m_crc = crc;
    QString problem = m_transferError;
    if (problem.isEmpty() && !written)
        problem = tr("Cannot write the download: %1").arg(writeError);
    judge(problem, written, checksumMatches);
}

void ArchiveFetch::judge(QString problem, bool written, bool checksumMatches)
{
    const bool hashed = m_expected.present || m_expected.malformed;
    m_mismatch = problem.isEmpty() && hashed && !checksumMatches;
    if (m_mismatch) {
        qCWarning(lcUpdate) << "Checksum mismatch for" << m_request.url.toString();
        problem = tr("The download did not match the storage's checksum");
    }
    if (problem.isEmpty()) {
        qCInfo(lcUpdate) << "Checksum" << (hashed ? "matched" : "not sent");
        if (!m_endKnown && !hashed)
            problem = tr("Download failed: the transfer ended without a length or checksum to "
                         "prove it complete");
    }
    qCInfo(lcUpdate) << "HTTP" << m_status << "received" << m_received << "bytes"
                     << (problem.isEmpty() ? QStringLiteral("complete") : problem);
    if (problem.isEmpty()) {
        report(Complete);
    } else if (written && resumable(m_status)) {
        // A transfer that broke keeps what arrived; the next try asks for the rest only.
        const bool kept = saveKept();
        if (m_retries < retryDelays().size()) {
            qCInfo(lcUpdate) << "Trying again in" << retryDelays().at(m_retries) << "ms";
            m_guard->stop();
            m_retryTimer.start(retryDelays().at(m_retries++));
            return;
        }
        report(Failed, problem, kept && m_request.partial.has_value());
    } else {
        report(Failed, problem);
    }
}

void ArchiveFetch::startRanges(int status, const ObjectHash::Expected &expected)
{
    // The answered reply brings the first unfinished range; each other range asks for its
    // own on a connection of its own.
    m_status = status;
    m_expected = expected;
    m_endKnown = true;
    QNetworkReply *reply = m_reply;
    reply->disconnect(this);
    m_reply = nullptr;
    m_ranges->start(
        m_request.record, reply,
        { m_manager, m_address, m_request.file->fileName(), m_transferTimeout, m_request.partial });
}

void ArchiveFetch::rangesEnded(const QString &rangeError, quint32 crc)
{
    const QString problem = m_transferError.isEmpty() ? rangeError : m_transferError;
    m_crc = crc;
    const bool matches = m_expected.crc32c == Crc32c::digest(m_crc);
    reportProgress(0, 0);
    if (problem.isEmpty()) {
        // The whole file is there: nothing is left to resume.
        m_request.record.ranges.clear();
        m_offset = 0;
        m_received = m_request.record.size;
    } else {
        qCInfo(lcUpdate) << "A range failed:" << problem;
        keepRanges();
    }
    m_ranges->stop();
    judge(problem, true, matches);
}

void ArchiveFetch::keepRanges()
{
    m_request.record = m_ranges->kept(m_request.record);
    if (m_request.record.ranges.isEmpty()) {
        m_received = 0;
        m_offset = m_request.record.kept;
    }
}

bool ArchiveFetch::saveKept()
{
    PartialDownload::Record &record = m_request.record;
    if (record.ranges.isEmpty()) {
        // One stream keeps what lies unbroken from byte 0; the rest of the file goes.
        m_offset += m_received;
        m_received = 0;
        record.kept = m_offset;
        if (!m_request.file->resize(m_offset))
            return false;
    }
    return !m_request.partial || m_request.partial->save(record);
}

void ArchiveFetch::report(Outcome outcome, const QString &error, bool partKept)
{
    m_running = false;
    m_guard->stop();
    m_retryTimer.stop();
    m_ranges->stop();
    if (m_sink->isBusy())
        m_sink->waitForWrites();
    Result &result = m_result;
    result = Result();
    result.outcome = outcome;
    result.error = error;
    result.httpStatus = m_status;
    result.partKept = partKept;
    result.mismatch = outcome == Failed && m_mismatch;
    result.judgedBy.hash = m_expected;
    result.judgedBy.size = m_request.record.size;
    result.judgedBy.generation = m_request.record.generation;
    result.crc32c = m_crc;
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

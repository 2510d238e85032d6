#include "transfer/rangefetch.h"

#include "common/updatelog.h"
#include "transfer/downloadsink.h"
#include "transfer/objecthash.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>

RangeFetch::RangeFetch(QNetworkAccessManager *manager, const QUrl &url, const QString &fileName,
                       const Range &range, int transferTimeout, QObject *parent)
    : QObject(parent)
    , m_range(range)
    , m_file(fileName)
    , m_sink(new DownloadSink(this))
{
    if (!open())
        return;
    const qint64 start = range.from + range.kept;
    if (start > range.to) {
        // Whole from before: its checksum is all that is needed, read back on the writer.
        accept();
        m_sink->finish();
        return;
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // HTTP/2 would multiplex the ranges onto one connection, and one connection is what a
    // per-connection limit holds back.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setTransferTimeout(transferTimeout);
    request.setRawHeader("Range",
                         "bytes=" + QByteArray::number(start) + '-' + QByteArray::number(range.to));
    request.setRawHeader("If-Range", range.etag);
    if (!range.generation.isEmpty())
        request.setRawHeader("x-goog-if-generation-match", range.generation);
    qCInfo(lcUpdate) << "GET" << url.toString() << "bytes" << start << "to" << range.to;
    m_reply = manager->get(request);
    m_reply->setReadBufferSize(bufferSize);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &RangeFetch::checkAnswer);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] { read(false); });
    connect(m_reply, &QNetworkReply::finished, this, &RangeFetch::replyFinished);
}

RangeFetch::RangeFetch(QNetworkReply *reply, const QString &fileName, const Range &range,
                       QObject *parent)
    : QObject(parent)
    , m_range(range)
    , m_file(fileName)
    , m_sink(new DownloadSink(this))
    , m_reply(reply)
    , m_status(reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt())
    , m_adopted(true)
{
    if (!open()) {
        reply->abort();
        reply->deleteLater();
        m_reply = nullptr;
        return;
    }
    accept();
    // Beside other ranges, this one holds no more than each of them.
    reply->setReadBufferSize(bufferSize);
    connect(reply, &QNetworkReply::readyRead, this, [this] { read(false); });
    connect(reply, &QNetworkReply::finished, this, &RangeFetch::replyFinished);
    // What arrived with the answer is read once whoever handed it over is out of its call.
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_reply && m_reply->isFinished())
                replyFinished();
            else
                read(false);
        },
        Qt::QueuedConnection);
}

bool RangeFetch::open()
{
    connect(m_sink, &DownloadSink::drained, this, [this] { read(false); });
    connect(m_sink, &DownloadSink::stored, this, &RangeFetch::stored);
    connect(m_sink, &DownloadSink::synced, this, [this] {
        if (std::exchange(m_syncing, false))
            emit synced();
    });
    connect(m_sink, &DownloadSink::failed, this, [this](const QString &error) {
        m_writeFailed = true;
        fail(error);
    });
    connect(m_sink, &DownloadSink::finished, this,
            [this](bool written, const QString &error, bool, quint32 crc) {
                m_writeFailed = m_writeFailed || !written;
                // A finished writer flushed everything; its thread takes no more requests.
                if (std::exchange(m_syncing, false))
                    emit synced();
                const QString problem = !m_error.isEmpty() ? m_error : written ? QString() : error;
                emit finished(problem.isEmpty(), problem, crc);
            });
    // The file exists: the first answer's transfer made it.
    if (m_file.open(QIODevice::ReadWrite))
        return true;
    m_error = m_file.errorString();
    report(false, m_error, 0);
    return false;
}

void RangeFetch::accept()
{
    m_accepted = true;
    ObjectHash::Expected crcOnly;
    crcOnly.crc32c = m_range.crc32c;
    crcOnly.present = true;
    m_sink->begin(&m_file, m_range.from + m_range.kept, crcOnly, false, m_range.from);
}

RangeFetch::~RangeFetch()
{
    halt();
}

void RangeFetch::halt()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
        m_reply = nullptr;
    }
    // A sink that was finishing already cannot vouch for its writes any more.
    if (m_sink->isBusy() && m_sink->waitForWrites() < 0)
        m_writeFailed = true;
    m_sink->disconnect(this);
    // Closed now, not when deleted: a file still open for writing cannot be run, and an
    // installer is run from it as soon as the ranges are done.
    m_file.close();
}

PartialDownload::Range RangeFetch::kept() const
{
    // After a failed read or write nothing of the range is vouched for: it comes again whole.
    return { m_range.from, m_range.to, m_writeFailed ? 0 : m_range.kept + m_received };
}

qint64 RangeFetch::written() const
{
    return m_writeFailed ? 0 : m_range.kept + m_received - m_sink->pending();
}

void RangeFetch::sync()
{
    if (m_sink->isBusy() && !m_syncing) {
        m_syncing = true;
        m_sink->sync();
    } else if (!m_syncing) {
        QMetaObject::invokeMethod(this, &RangeFetch::synced, Qt::QueuedConnection);
    }
}

void RangeFetch::report(bool complete, const QString &error, quint32 crc32c)
{
    // Later, never from inside a call of ours: whoever hears it may delete us.
    QMetaObject::invokeMethod(
        this, [this, complete, error, crc32c] { emit finished(complete, error, crc32c); },
        Qt::QueuedConnection);
}

void RangeFetch::checkAnswer()
{
    if (m_accepted || !m_reply)
        return;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    // Nothing answered yet: the transfer's own error tells why.
    if (status == 0)
        return;
    m_status = status;
    const QByteArray expected = "bytes " + QByteArray::number(m_range.from + m_range.kept) + '-'
        + QByteArray::number(m_range.to) + '/' + QByteArray::number(m_range.total);
    const QByteArray generation = m_reply->rawHeader("x-goog-generation");
    // Two uploads must never mix in one file.
    if (status != 206 || m_reply->rawHeader("Content-Range").trimmed() != expected
        || m_reply->rawHeader("ETag") != m_range.etag
        || (!generation.isEmpty() && !m_range.generation.isEmpty()
            && generation != m_range.generation)) {
        // A server in trouble may answer the next try; any other answer would be the same.
        m_refused = status < 500 && status != 429;
        fail(tr("Download failed: HTTP %1 to a range request").arg(status));
        return;
    }
    accept();
}

void RangeFetch::read(bool all)
{
    if (!m_reply || !m_accepted || !m_error.isEmpty())
        return;
    while (all || m_sink->pending() < bufferSize) {
        const qint64 rest = length() - m_range.kept - m_received;
        if (m_adopted && rest <= 0) {
            cut();
            return;
        }
        const QByteArray data = m_reply->read(m_adopted ? qMin(rest, bufferSize) : bufferSize);
        if (data.isEmpty())
            return;
        if (data.size() > rest) {
            fail(tr("Download failed: a range was longer than asked for"));
            return;
        }
        m_received += data.size();
        m_sink->write(data);
        emit progressed();
    }
}

void RangeFetch::replyFinished()
{
    QNetworkReply *reply = m_reply;
    if (!reply)
        return;
    checkAnswer();
    read(true);
    if (m_error.isEmpty() && !m_cut && reply->error() != QNetworkReply::NoError)
        m_error = tr("Download failed: %1").arg(reply->errorString());
    else if (m_error.isEmpty() && m_received != length() - m_range.kept)
        m_error = tr("Download failed: received %1 of %2 bytes")
                      .arg(m_received)
                      .arg(length() - m_range.kept);
    m_reply = nullptr;
    reply->disconnect(this);
    reply->deleteLater();
    if (m_sink->isBusy())
        m_sink->finish();
    else
        report(false, m_error, 0);
}

void RangeFetch::fail(const QString &error)
{
    if (m_error.isEmpty())
        m_error = error;
    // Completes the reply; its finished() reports.
    if (m_reply)
        m_reply->abort();
}

void RangeFetch::cut()
{
    if (m_cut)
        return;
    // The rest of the file is the other ranges': this reply ends here. Later, never from
    // inside the reply's own signal.
    m_cut = true;
    QMetaObject::invokeMethod(
        this,
        [this] {
            if (m_reply)
                m_reply->abort();
        },
        Qt::QueuedConnection);
}

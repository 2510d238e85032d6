#include "builds/rangefetch.h"

#include "builds/downloadsink.h"
#include "common/updatelog.h"

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
    connect(m_sink, &DownloadSink::drained, this, [this] { read(false); });
    connect(m_sink, &DownloadSink::failed, this, &RangeFetch::fail);
    connect(m_sink, &DownloadSink::finished, this,
            [this](bool written, const QString &error, bool, quint32 crc) {
                const QString problem = !m_error.isEmpty() ? m_error : written ? QString() : error;
                emit finished(problem.isEmpty(), problem, crc);
            });
    // The file exists: the first range's transfer made it.
    if (!m_file.open(QIODevice::ReadWrite)) {
        m_error = m_file.errorString();
        QMetaObject::invokeMethod(
            this, [this] { emit finished(false, m_error, 0); }, Qt::QueuedConnection);
        return;
    }
    QNetworkRequest request(url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    // HTTP/2 would multiplex the ranges onto one connection, and one connection is what a
    // per-connection limit holds back.
    request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
    request.setTransferTimeout(transferTimeout);
    request.setRawHeader(
        "Range", "bytes=" + QByteArray::number(range.from) + '-' + QByteArray::number(range.to));
    request.setRawHeader("If-Range", range.etag);
    if (!range.generation.isEmpty())
        request.setRawHeader("x-goog-if-generation-match", range.generation);
    qCInfo(lcUpdate) << "GET" << url.toString() << "bytes" << range.from << "to" << range.to;
    m_reply = manager->get(request);
    m_reply->setReadBufferSize(bufferSize);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &RangeFetch::checkAnswer);
    connect(m_reply, &QNetworkReply::readyRead, this, [this] { read(false); });
    connect(m_reply, &QNetworkReply::finished, this, &RangeFetch::replyFinished);
}

RangeFetch::~RangeFetch()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
    if (m_sink->isBusy())
        m_sink->waitForWrites();
}

void RangeFetch::checkAnswer()
{
    if (m_accepted || !m_reply)
        return;
    const int status = m_reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    const QByteArray expected = "bytes " + QByteArray::number(m_range.from) + '-'
        + QByteArray::number(m_range.to) + '/' + QByteArray::number(m_range.total);
    const QByteArray generation = m_reply->rawHeader("x-goog-generation");
    // Two uploads must never mix in one file.
    if (status != 206 || m_reply->rawHeader("Content-Range").trimmed() != expected
        || m_reply->rawHeader("ETag") != m_range.etag
        || (!generation.isEmpty() && !m_range.generation.isEmpty()
            && generation != m_range.generation)) {
        fail(tr("Download failed: HTTP %1 to a range request").arg(status));
        return;
    }
    m_accepted = true;
    ObjectHash::Expected crcOnly;
    crcOnly.crc32c = m_range.crc32c;
    crcOnly.present = true;
    m_sink->begin(&m_file, m_range.from, crcOnly, false);
}

void RangeFetch::read(bool all)
{
    if (!m_reply || !m_accepted || !m_error.isEmpty())
        return;
    while (all || m_sink->pending() < bufferSize) {
        const QByteArray data = m_reply->read(bufferSize);
        if (data.isEmpty())
            return;
        m_received += data.size();
        if (m_received > length()) {
            fail(tr("Download failed: a range was longer than asked for"));
            return;
        }
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
    if (m_error.isEmpty() && reply->error() != QNetworkReply::NoError)
        m_error = tr("Download failed: %1").arg(reply->errorString());
    else if (m_error.isEmpty() && m_received != length())
        m_error = tr("Download failed: received %1 of %2 bytes").arg(m_received).arg(length());
    m_reply = nullptr;
    reply->disconnect(this);
    reply->deleteLater();
    if (m_sink->isBusy())
        m_sink->finish();
    else
        emit finished(false, m_error, 0);
}

void RangeFetch::fail(const QString &error)
{
    if (m_error.isEmpty())
        m_error = error;
    // Completes the reply; its finished() reports.
    if (m_reply)
        m_reply->abort();
}

#include "builds/catalogfetch.h"

#include "common/updatelog.h"
#include "transfer/transferrequest.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

#include <utility>

CatalogFetch::CatalogFetch(QObject *parent)
    : QObject(parent)
{
}

CatalogFetch::~CatalogFetch()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

void CatalogFetch::start(QNetworkAccessManager *manager, const Source &source, int transferTimeout)
{
    m_manager = manager;
    m_source = source;
    m_timeout = transferTimeout;
    m_result = Result();
    m_again = false;
    const qint64 from = qMax<qint64>(0, source.size - ZipCatalog::tailSize);
    ask(from, source.size - 1);
}

void CatalogFetch::ask(qint64 from, qint64 to)
{
    m_from = from;
    m_to = to;
    m_body.clear();
    m_accepted = false;
    m_refusal.clear();
    QNetworkRequest request(m_source.url);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(m_timeout);
    request.setRawHeader("Range",
                         "bytes=" + QByteArray::number(from) + '-' + QByteArray::number(to));
    // Pinned to the upload the download brings, as its ranges are: another one would name
    // other entries at other places.
    if (!m_source.etag.isEmpty())
        request.setRawHeader("If-Match", m_source.etag);
    if (!m_source.generation.isEmpty())
        request.setRawHeader("x-goog-if-generation-match", m_source.generation);
    qCInfo(lcUpdate) << "GET" << m_source.url.toString() << "bytes" << from << "to" << to
                     << "for the archive's catalog";
    m_reply = m_manager->get(request);
    m_reply->setReadBufferSize(ZipCatalog::tailSize);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &CatalogFetch::accepted);
    connect(m_reply, &QNetworkReply::readyRead, this, &CatalogFetch::read);
    connect(m_reply, &QNetworkReply::finished, this, &CatalogFetch::replyFinished);
}

bool CatalogFetch::accepted()
{
    if (m_accepted || !m_refusal.isEmpty() || !m_reply)
        return m_accepted;
    const int status = TransferRequest::status(m_reply);
    if (status == 0)
        return false;
    const QByteArray expected = "bytes " + QByteArray::number(m_from) + '-'
        + QByteArray::number(m_to) + '/' + QByteArray::number(m_source.size);
    const QByteArray etag = m_reply->rawHeader("ETag");
    const QByteArray generation = m_reply->rawHeader("x-goog-generation");
    if (status != 206 || m_reply->rawHeader("Content-Range").trimmed() != expected
        || etag != m_source.etag
        || (!generation.isEmpty() && !m_source.generation.isEmpty()
            && generation != m_source.generation)) {
        // Whatever else it brings is not read: a 200 would be the whole archive.
        m_refusal = tr("HTTP %1 to the request for its end").arg(status);
        m_reply->abort();
        return false;
    }
    m_accepted = true;
    return true;
}

void CatalogFetch::read()
{
    if (!m_reply || !accepted())
        return;
    const qint64 length = m_to - m_from + 1;
    m_body += m_reply->read(length - m_body.size() + 1);
    if (m_body.size() > length) {
        m_refusal = tr("its end was longer than asked for");
        m_reply->abort();
    }
}

void CatalogFetch::replyFinished()
{
    QNetworkReply *reply = m_reply;
    if (!reply)
        return;
    read();
    m_reply = nullptr;
    reply->disconnect(this);
    reply->deleteLater();
    if (m_refusal.isEmpty() && reply->error() != QNetworkReply::NoError)
        m_refusal = reply->errorString();
    if (m_refusal.isEmpty() && m_body.size() != m_to - m_from + 1)
        m_refusal
            = tr("received %1 of %2 bytes of its end").arg(m_body.size()).arg(m_to - m_from + 1);
    if (!m_refusal.isEmpty()) {
        report(m_refusal);
        return;
    }
    m_result.tail.prepend(m_body);
    m_result.tailFrom = m_from;
    m_body.clear();
    ZipCatalog catalog;
    qint64 needFrom = -1;
    QString error;
    if (catalog.read(m_result.tail, m_source.size, &needFrom, &error)) {
        m_result.catalog = catalog;
        report(QString());
    } else if (!error.isEmpty()) {
        report(error);
    } else if (!std::exchange(m_again, true) && needFrom >= 0 && needFrom < m_from
               && m_source.size - needFrom <= maximumBytes) {
        // The catalog begins before the tail: the rest of it, once.
        ask(needFrom, m_from - 1);
    } else {
        report(tr("its catalog does not lie in its last %1 bytes").arg(maximumBytes));
    }
}

void CatalogFetch::report(const QString &error)
{
    m_result.error = error;
    if (!error.isEmpty())
        m_result.catalog.reset();
    emit finished(m_result);
}

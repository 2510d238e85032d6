#include "common/textfetch.h"

#include "common/replyproblem.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>

TextFetch::TextFetch(qint64 maximumSize, int transferTimeout, QObject *parent)
    : QObject(parent)
    , m_maximumSize(maximumSize)
    , m_transferTimeout(transferTimeout)
{
}

TextFetch::~TextFetch()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
        m_reply->deleteLater();
    }
}

void TextFetch::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_manager = manager;
}

QNetworkAccessManager *TextFetch::networkAccessManager()
{
    if (!m_manager)
        m_manager = new QNetworkAccessManager(this);
    return m_manager;
}

void TextFetch::setRawHeader(const QByteArray &name, const QByteArray &value)
{
    m_headers.append({ name, value });
}

void TextFetch::get(const QUrl &url)
{
    if (m_reply)
        return;
    QNetworkRequest request(url);
    for (const auto &[name, value] : std::as_const(m_headers))
        request.setRawHeader(name, value);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute, m_redirectPolicy);
    request.setTransferTimeout(m_transferTimeout);
    m_body.clear();
    m_failed = false;
    m_tooLarge = false;
    m_reply = networkAccessManager()->get(request);
    m_reply->setReadBufferSize(m_maximumSize + 1);
    connect(m_reply, &QNetworkReply::readyRead, this, &TextFetch::read);
    connect(m_reply, &QNetworkReply::finished, this, &TextFetch::done);
}

void TextFetch::read()
{
    m_body += m_reply->readAll();
    if (m_body.size() > m_maximumSize) {
        m_failed = true;
        m_tooLarge = true;
        m_reply->abort();
    }
}

void TextFetch::done()
{
    QNetworkReply *reply = m_reply;
    if (!reply || sender() != reply)
        return;
    // A body past the cap is aborted here; any other cancelling is the transfer timeout.
    const bool timedOut = !m_failed && reply->error() == QNetworkReply::OperationCanceledError
        && ReplyProblem::get(reply).isEmpty();
    if (reply->error() != QNetworkReply::NoError)
        m_failed = true;
    if (!m_failed)
        read();

    Result result;
    result.complete = !m_failed;
    result.body = m_failed ? QByteArray() : m_body;
    const QString saidMore = ReplyProblem::get(reply);
    // Words of our own name what stood between us and the server (a proxy's 407 included):
    // the server itself answered nothing.
    result.httpStatus = saidMore.isEmpty()
        ? reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt()
        : 0;
    result.errorString = saidMore.isEmpty() ? reply->errorString() : saidMore;
    result.url = reply->url();
    result.timedOut = timedOut;
    result.tooLarge = m_tooLarge;
    m_reply = nullptr;
    reply->deleteLater();
    m_body.clear();
    emit finished(result);
}

#include "transfer/transferrequest.h"

#include "common/replyproblem.h"
#include "common/updatelog.h"

#include <QNetworkReply>

QNetworkRequest TransferRequest::make(const QUrl &address, const PartialDownload::Record &record,
                                      qint64 offset, const QByteArray &pin, int timeout,
                                      qint64 first)
{
    const bool ranged = !record.ranges.isEmpty();
    QNetworkRequest request(address);
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(timeout);
    const bool rest = offset > 0 || ranged;
    if (rest) {
        qCInfo(lcUpdate) << "Asking for the rest from byte" << offset;
        request.setRawHeader("Range",
                             "bytes=" + QByteArray::number(offset) + '-'
                                 + (ranged ? QByteArray::number(record.next().to) : QByteArray()));
        request.setRawHeader("If-Range", record.etag);
    } else if (first > 0) {
        request.setRawHeader("Range", "bytes=0-" + QByteArray::number(first - 1));
    }
    // The rest must come from the upload the part is of.
    const QByteArray generation = pin.isEmpty() && rest ? record.generation : pin;
    if (!generation.isEmpty())
        request.setRawHeader("x-goog-if-generation-match", generation);
    return request;
}

int TransferRequest::status(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

QString TransferRequest::problem(const QNetworkReply *reply, qint64 received)
{
    // Words that name what refused, such as the proxy or an untrusted issuer, come first.
    const QString saidMore = ReplyProblem::get(reply);
    if (!saidMore.isEmpty())
        return tr("Download failed: %1").arg(saidMore);
    const int status = TransferRequest::status(reply);
    if (status != 0 && (status < 200 || status > 299)) {
        const QString reason
            = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        return tr("Download failed: HTTP %1 %2").arg(status).arg(reason).trimmed();
    }
    if (reply->error() != QNetworkReply::NoError)
        return tr("Download failed: %1").arg(reply->errorString());
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && announced.toLongLong() != received)
        return tr("Download failed: received %1 of %2 bytes")
            .arg(received)
            .arg(announced.toLongLong());
    return QString();
}

QString TransferRequest::refusedRedirect(const QByteArray &location, bool tooMany)
{
    return tooMany
        ? tr("Download failed: too many redirects")
        : tr("Download failed: refused redirect to %1").arg(QString::fromLatin1(location));
}

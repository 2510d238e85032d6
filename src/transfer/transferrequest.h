#pragma once

#include "transfer/partialdownload.h"

#include <QCoreApplication>
#include <QNetworkRequest>

class QNetworkReply;

// How each request of a transfer asks for its object, and what a failed answer is called.
class TransferRequest
{
    Q_DECLARE_TR_FUNCTIONS(TransferRequest)

public:
    // Asks for `address`, following no redirect itself (the transfer counts hops and refuses
    // downgrades). With a kept part (`offset` past 0, or ranges) it asks only for the rest,
    // of the part's own upload; `pin` names the upload to ask for otherwise. Without one,
    // `first` past 0 asks for only the file's first `first` bytes.
    static QNetworkRequest make(const QUrl &address, const PartialDownload::Record &record,
                                qint64 offset, const QByteArray &pin, int timeout,
                                qint64 first = 0);
    static int status(const QNetworkReply *reply);
    // Why an answer that brought `received` bytes of its body failed; empty when it did not.
    static QString problem(const QNetworkReply *reply, qint64 received);
    // Why a redirect to `location` is not followed: it leads nowhere we go, or one hop too far.
    static QString refusedRedirect(const QByteArray &location, bool tooMany);
};

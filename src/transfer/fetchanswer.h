#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QUrl>

class KeptPart;
class QNetworkReply;

// What the latest answer that brought a file's bytes said of it: enough to ask the same source
// for another piece of the same upload.
struct FetchAnswer
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

    // The answer of `status` from `url`, read before the ranges take its reply over and while
    // the part's record still says what was kept.
    static FetchAnswer of(const QNetworkReply *reply, const QUrl &url, int status, bool resumed,
                          const KeptPart &part);
};

#include "transfer/fetchanswer.h"

#include "transfer/keptpart.h"

#include <QNetworkReply>

FetchAnswer FetchAnswer::of(const QNetworkReply *reply, const QUrl &url, int status, bool resumed,
                            const KeptPart &part)
{
    FetchAnswer answer;
    answer.url = url;
    answer.resumed = resumed;
    answer.etag = reply->rawHeader("ETag");
    answer.generation = reply->rawHeader("x-goog-generation");
    const QByteArray range = reply->rawHeader("Content-Range").trimmed();
    const qint64 total
        = range.startsWith("bytes ") ? range.mid(range.indexOf('/') + 1).toLongLong() : 0;
    const QVariant length = reply->header(QNetworkRequest::ContentLengthHeader);
    answer.ranges = status == 206 && total > 0;
    answer.size = answer.ranges ? total : length.isValid() ? length.toLongLong() : -1;
    const PartialDownload::Record &record = part.record();
    if (resumed && part.inRanges()) {
        for (const PartialDownload::Range &kept : record.ranges) {
            if (kept.kept > 0)
                answer.kept.append({ kept.from, kept.from + qMin(kept.kept, kept.length()) });
        }
    } else if (resumed && part.offset() > 0) {
        answer.kept.append({ 0, part.offset() });
    }
    return answer;
}

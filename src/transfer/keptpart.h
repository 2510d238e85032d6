#pragma once

#include "transfer/objecthash.h"
#include "transfer/partialdownload.h"

#include <optional>

class QFile;
class QNetworkReply;

// What of the file a transfer has on disk, and the record that says what it is a part of:
// where the running answer's body goes, what each answer makes of the record, and what is
// saved when a try breaks, so that the next try or attempt asks only for the rest.
class KeptPart
{
public:
    // Test seam: the size from which a file comes in parallel ranges (64 MiB).
    static void setParallelThreshold(qint64 bytes);

    // A transfer into `file`, which holds the part `record` describes; `partial` is where the
    // record is written (none keeps nothing past the transfer).
    void adopt(QFile *file, const PartialDownload::Record &record,
               std::optional<PartialDownload> partial);
    // A new request: nothing of its body has arrived. Ranges that broke resume each on its
    // own: the request asks the first unfinished one for its rest, the others follow once it
    // is answered.
    void request();

    const PartialDownload::Record &record() const { return m_record; }
    const std::optional<PartialDownload> &partial() const { return m_partial; }
    bool inRanges() const { return !m_record.ranges.isEmpty(); }
    // Where in the file the running answer's body starts, what of it arrived, and where it
    // has reached.
    qint64 offset() const { return m_offset; }
    qint64 received() const { return m_received; }
    qint64 reached() const { return m_offset + m_received; }
    void add(qint64 bytes) { m_received += bytes; }

    // What a resumed answer is judged by: the checksums the first answer named.
    ObjectHash::Expected firstChecksums() const;
    // What to make of the answer to a request for the rest; `own`: the checksums it names.
    PartialDownload::Answer judge(const QNetworkReply *reply, int status,
                                  const ObjectHash::Expected &own) const;
    // One stream appends to the part from here on.
    void growing() const;
    // The answer brings the whole file from byte 0: the part is given up.
    void restart();
    // What the first request asks for of a file not begun: its first piece, as large as the
    // first range of the smallest file that comes in ranges, so that nothing it brings is
    // thrown away; 0 for the whole file.
    qint64 firstPiece() const;
    // The server would not give the piece: this transfer asks for the whole file.
    void askWhole() { m_wholeAsked = true; }
    // Whether a 206 to the request for the first `asked` bytes brings that piece of a file
    // whose rest can come in ranges pinned to its upload, or the whole file.
    bool answersPiece(const QNetworkReply *reply, qint64 asked,
                      const ObjectHash::Expected &expected) const;
    // A 200, or a 206 to the request for the first `asked` bytes, describes the upload from
    // here on. True when its file is to come in ranges, which the record now plans (the file
    // is preallocated for them).
    bool whole(const QNetworkReply *reply, const ObjectHash::Expected &expected, qint64 asked = 0);
    // Whether what is there is worth keeping after an answer of `status` (0: none).
    bool resumable(int status, bool answered) const;
    // The ranges stopped and keep `kept`.
    void keepRanges(const PartialDownload::Record &kept);
    // Keeps what arrived, and writes the record. False when either failed.
    bool save();
    // One stream stopped with `kept` bytes on disk: writes the record when there are any.
    bool keepWritten(qint64 kept);
    // Writes the record as it stands.
    bool note() const { return m_partial && m_partial->save(m_record); }
    // The whole file is there: nothing is left to resume.
    void complete();

private:
    QFile *m_file = nullptr;
    PartialDownload::Record m_record;
    std::optional<PartialDownload> m_partial;
    qint64 m_offset = 0;
    qint64 m_received = 0;
    bool m_wholeAsked = false;
};

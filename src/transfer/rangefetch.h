#pragma once

#include "transfer/partialdownload.h"

#include <QFile>
#include <QObject>
#include <QPointer>
#include <QUrl>

class DownloadSink;
class QNetworkAccessManager;
class QNetworkReply;

// One byte range of a file the downloader fetches in parallel, on an HTTP/1.1 connection of
// its own, written at its offset into the file and hashed with CRC-32C on a writer thread.
// Only a 206 for exactly this range (or its rest) of the same upload is taken. A range that is
// already whole on disk is only hashed.
class RangeFetch : public QObject
{
    Q_OBJECT

public:
    struct Range
    {
        qint64 from = 0;
        qint64 to = -1; // inclusive
        qint64 kept = 0; // already on disk at `from`: only the rest is asked for
        qint64 total = 0;
        QByteArray etag;
        QByteArray generation;
        QByteArray crc32c; // the whole file's, raw: asks the writer to hash with CRC-32C
    };

    RangeFetch(QNetworkAccessManager *manager, const QUrl &url, const QString &fileName,
               const Range &range, int transferTimeout, QObject *parent = nullptr);
    // Takes over a reply already judged to bring this range: a 206 for its rest, or the
    // whole file from byte 0, which is cut once the range is on disk.
    RangeFetch(QNetworkReply *reply, const QString &fileName, const Range &range,
               QObject *parent = nullptr);
    // Stops the transfer and waits for what was handed to the writer.
    ~RangeFetch() override;

    qint64 from() const { return m_range.from; }
    qint64 length() const { return m_range.to - m_range.from + 1; }
    // What this transfer brought, the kept part not included.
    qint64 received() const { return m_received; }
    // Gives the range up; finished() reports the error.
    void fail(const QString &error);
    // Stops the transfer at once, without finished(), once what arrived is on disk.
    void halt();
    // The range with what of it is on disk now; once finished() or halt() came.
    PartialDownload::Range kept() const;
    // What of the range is surely in the file while it still runs.
    qint64 written() const;
    // Reports synced() once what written() counted is on the disk too.
    void sync();
    // The server answered, but not with this range and not for a passing trouble: it may
    // not serve ranges at all, or the file changed.
    bool refused() const { return m_refused; }
    // The HTTP status its answer came with; 0 before one came.
    int status() const { return m_status; }

    // What each range may hold in memory at most: the reply's buffer and the writer's queue.
    static constexpr qint64 bufferSize = 512 * 1024;

signals:
    void progressed();
    void synced();
    // Bytes [from, to) of the file are written.
    void stored(qint64 from, qint64 to);
    // complete: the whole range is on disk; crc32c is its checksum then.
    void finished(bool complete, const QString &error, quint32 crc32c);

private:
    bool open();
    void accept();
    void checkAnswer();
    void read(bool all);
    void replyFinished();
    void cut();
    void report(bool complete, const QString &error, quint32 crc32c);

    Range m_range;
    QFile m_file;
    DownloadSink *m_sink;
    QPointer<QNetworkReply> m_reply;
    qint64 m_received = 0;
    int m_status = 0;
    bool m_accepted = false;
    // An adopted reply may bring more than the range: it is cut when the range is whole.
    bool m_adopted = false;
    bool m_cut = false;
    bool m_refused = false;
    bool m_writeFailed = false;
    bool m_syncing = false;
    QString m_error;
};

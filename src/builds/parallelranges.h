#pragma once

#include "builds/partialdownload.h"
#include "builds/rangeplan.h"

#include <QHash>
#include <QList>
#include <QObject>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class RangeFetch;

// The ranges of one file while they come side by side: starts each on a connection of its
// own, counts what they brought, notes what surely reached the disk in the record every
// sixteenth of the file, and once all have ended combines their checksums in file order.
class ParallelRanges : public QObject
{
    Q_OBJECT

public:
    explicit ParallelRanges(QObject *parent = nullptr);
    ~ParallelRanges() override;

    struct Transfer
    {
        QNetworkAccessManager *manager = nullptr;
        QUrl address;
        QString fileName;
        int timeout = 0;
        // Where checkpoints are written; none keeps nothing past the transfer.
        std::optional<PartialDownload> partial;
    };

    // Starts every range of `record`; `reply`, already answered, brings the first unfinished
    // one.
    void start(const PartialDownload::Record &record, QNetworkReply *reply,
               const Transfer &transfer);
    bool isRunning() const { return !m_ranges.isEmpty(); }
    // The kept part and what this try brought.
    qint64 progress() const { return m_kept + received(); }
    // What this try brought.
    qint64 received() const;
    // Gives every range up; finished() follows.
    void fail(const QString &error);
    // Stops every range at once, without finished(), once what arrived is on disk.
    void halt();
    // The record once the ranges stopped: each keeps what reached the disk.
    PartialDownload::Record kept(const PartialDownload::Record &record) const;
    // Which range failed first and the status it was answered with, once finished() told
    // of a problem ("bytes 100-199, HTTP 206").
    QString failedRange() const { return m_failedRange; }
    // Stops and forgets the ranges: nothing writes into the file after this.
    void stop();

signals:
    void progressed();
    // Bytes [from, to) of the file are written, by whichever range.
    void stored(qint64 from, qint64 to);
    // Every range has ended; problem is the first range's error, crc32c the whole file's.
    void finished(const QString &problem, quint32 crc32c);

private:
    QList<RangePlan::Progress> rangeProgress(bool written) const;
    void rangeEnded(const RangeFetch *fetch, bool complete, const QString &error, quint32 crc);
    void checkpoint();
    void synced();

    PartialDownload::Record m_record;
    std::optional<PartialDownload> m_partial;
    QList<RangeFetch *> m_ranges;
    QHash<const RangeFetch *, quint32> m_crcs;
    QString m_error;
    QString m_failedRange;
    // What all ranges had on disk when this try began, and at the last checkpoint.
    qint64 m_kept = 0;
    qint64 m_checkpointed = 0;
    // The checkpoint waiting for the ranges' bytes to reach the disk, and how many ranges
    // have yet to say so.
    std::optional<PartialDownload::Record> m_noting;
    int m_syncing = 0;
};

#pragma once

#include "transfer/partialdownload.h"
#include "transfer/rangeplan.h"

#include <QHash>
#include <QList>
#include <QMap>
#include <QObject>
#include <QSet>
#include <QUrl>

#include <optional>

class QNetworkAccessManager;
class QNetworkReply;
class RangeFetch;

// The ranges of one file while they come side by side: starts them in file order, at most
// RangePlan::parallelRanges on the wire at once and the next as soon as one ends, so that the
// file fills front to back at the pace of all connections together. Counts what they brought,
// notes what surely reached the disk in the record every sixteenth of the file, and once all
// have ended combines their checksums in file order.
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

    // Starts the ranges of `record`; `reply`, already answered, brings the first unfinished
    // one. Ranges already whole on disk are only hashed, one at a time beside the others.
    void start(const PartialDownload::Record &record, QNetworkReply *reply,
               const Transfer &transfer);
    bool isRunning() const { return m_started; }
    // The kept part and what this try brought.
    qint64 progress() const { return m_kept + received(); }
    // What this try brought.
    qint64 received() const;
    // Gives every range up, and starts no more; finished() follows.
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
    // Every range has ended (after a failure: every range that had started); problem is the
    // first range's error, crc32c the whole file's.
    void finished(const QString &problem, quint32 crc32c);

private:
    // What a range that ended left behind: its checksum, what it brought and what it kept.
    struct Ended
    {
        quint32 crc = 0;
        qint64 received = 0;
        RangePlan::Progress progress;
    };

    void startRange(int index, QNetworkReply *reply);
    void startNext();
    QList<RangePlan::Progress> rangeProgress(bool written) const;
    void rangeEnded(RangeFetch *fetch, bool complete, const QString &error, quint32 crc);
    void checkpoint();
    void synced(const RangeFetch *fetch);

    PartialDownload::Record m_record;
    Transfer m_transfer;
    bool m_started = false;
    // The ranges by their place in the record: those on their way, those that ended, and
    // those yet to start, in file order.
    QMap<int, RangeFetch *> m_running;
    QHash<int, Ended> m_ended;
    QList<int> m_waiting;
    QString m_error;
    QString m_failedRange;
    // What all ranges had on disk when this try began, what the ranges that ended brought,
    // and the progress at the last checkpoint.
    qint64 m_kept = 0;
    qint64 m_receivedEnded = 0;
    qint64 m_checkpointed = 0;
    // The checkpoint waiting for the ranges' bytes to reach the disk, and the ranges that
    // have yet to say so.
    std::optional<PartialDownload::Record> m_noting;
    QSet<const RangeFetch *> m_syncing;
};

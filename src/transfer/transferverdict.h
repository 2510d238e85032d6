#pragma once

#include "transfer/objecthash.h"

#include <QList>
#include <QObject>
#include <QTimer>

class QNetworkReply;
class QUrl;

// What a transfer's try came to: what its answer's body is judged by, whether what arrived is
// the whole file and checked, and when a try that broke is made again.
class TransferVerdict : public QObject
{
    Q_OBJECT

public:
    explicit TransferVerdict(QObject *parent = nullptr);

    // Test seam: the pauses before the tries that resume a broken transfer within one attempt.
    static void setRetryDelays(const QList<int> &milliseconds);

    // A new attempt: every try is left.
    void restart();
    // A new request: nothing is known of its answer yet.
    void clear() { answered(0, ObjectHash::Expected(), false); }
    // What the answer said: its status, what its body is judged by, and whether a body that
    // simply stops can be told from one that ended.
    void answered(int status, const ObjectHash::Expected &expected, bool endKnown);
    void answered(const QNetworkReply *reply, const ObjectHash::Expected &expected);
    // The CRC-32C of what was written; with ranges, whether it matches the one expected.
    void written(quint32 crc) { m_crc = crc; }
    bool rangesMatch(quint32 crc);

    int status() const { return m_status; }
    const ObjectHash::Expected &expected() const { return m_expected; }
    quint32 crc32c() const { return m_crc; }
    // The whole body arrived and did not match what it was judged by.
    bool mismatch() const { return m_mismatch; }

    // Why what arrived of `url` is not the whole file, checked; empty when it is. `problem`:
    // why the transfer broke, if it did; `ranges`: the file came in ranges, each answered
    // on its own.
    QString judge(QString problem, bool checksumMatches, const QUrl &url, qint64 received,
                  bool ranges = false);
    // Waits before the next try when one is left, then asks for it with retry().
    bool retryLater();
    bool isWaiting() const { return m_timer.isActive(); }
    void stop() { m_timer.stop(); }

signals:
    void retry();

private:
    int m_status = 0;
    ObjectHash::Expected m_expected;
    bool m_endKnown = false;
    quint32 m_crc = 0;
    bool m_mismatch = false;
    int m_retries = 0;
    QTimer m_timer;
};

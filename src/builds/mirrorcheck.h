#pragma once

#include "builds/objectmetadata.h"
#include "transfer/archivefetch.h"

#include <QFutureWatcher>
#include <QObject>

#include <optional>

class QNetworkAccessManager;

// Whether a mirror's copy of a build is the object the public storage describes. The storage
// is asked before the transfer, so that the transfer is pinned to its upload and judged by its
// checksums as it arrives; the finished file is then hashed whole once more, since a CRC-32C
// is forged by changing four bytes and the MD5 of a file that came in parallel ranges can only
// be had by reading it again.
class MirrorCheck : public QObject
{
    Q_OBJECT

public:
    explicit MirrorCheck(QObject *parent = nullptr);
    // Waits for a hashing under way, which stops at its next piece.
    ~MirrorCheck() override;

    void setNetworkAccessManager(QNetworkAccessManager *manager);
    // Asks the storage about the archive of build; reports with described().
    void describe(const BuildSeries &series, int build);
    // What a transfer from the mirror is judged by; none when the storage did not describe
    // the object.
    std::optional<ArchiveFetch::Expected> expected() const;
    // Hashes the finished file on a worker thread and reports with verified() whether it is
    // the object described; generation is what the mirror named (empty for none).
    void verify(const QString &fileName, const QByteArray &generation);
    // Drops a hashing under way without reporting it.
    void cancel();

    static QString refusal(int build);

signals:
    void described(ObjectMetadata::Outcome outcome);
    void verified(bool matches);

private:
    ObjectMetadata *m_metadata;
    ObjectMetadata::Result m_origin;
    QFutureWatcher<ObjectMetadata::Transfer> m_digest;
};

#pragma once

#include "builds/catalogfetch.h"
#include "install/archiveunpacker.h"
#include "transfer/archivefetch.h"

#include <QList>
#include <QObject>
#include <QPair>

class PipelinedUnpack;
class QNetworkAccessManager;

// One attempt's unpacking while its archive arrives: once the download's answer shows a
// source that serves ranges of a known size, it reads the archive's catalog from its end and
// inflates each entry as soon as its bytes are written. Whatever stands in the way leaves the
// attempt to unpack the archive once it is whole, as a source without ranges does. The tree
// is only a candidate until finish(), which comes once the whole archive was vouched for.
class PipelinedInstall : public QObject
{
    Q_OBJECT

public:
    // Where the attempt's archive is written and unpacked, and how its source is asked.
    struct Attempt
    {
        QNetworkAccessManager *manager = nullptr;
        int transferTimeout = 0;
        // The file being written: duplicated here, only read.
        int archive = -1;
        QString tree;
    };

    // [from, to) spans of the archive.
    using Spans = QList<QPair<qint64, qint64>>;

    explicit PipelinedInstall(QObject *parent = nullptr);
    ~PipelinedInstall() override;

    // The download answered: the first answer with ranges, a size and an upload to pin them
    // to begins; a later one that starts the file anew or names another upload ends it, and
    // one that keeps less than was written has the tree unpacked again from what it keeps.
    void answered(const ArchiveFetch::Answer &answer, const Attempt &attempt);
    // Bytes [from, to) of the archive are written.
    void stored(qint64 from, qint64 to);
    // The whole archive is written and vouched for. False when it is to be unpacked whole
    // instead; otherwise unpacked() or declined() follows.
    bool finish();
    // Stops, removes what was unpacked, and forgets the attempt.
    void cancel();

signals:
    // The catalog names what the unpacker refuses: the attempt ends, or if it cannot yet,
    // finish() unpacks nothing and the archive is refused whole.
    void refused(const QString &error);
    // After finish(): the archive is to be unpacked whole after all.
    void declined();
    // After finish(): the tree is there, or the cause why not (it is gone then).
    void unpacked(const ArchiveUnpacker::Result &result);

private:
    enum State { Idle, Reading, Unpacking, Declined };

    void begin(const ArchiveFetch::Answer &answer, const Attempt &attempt);
    void catalogRead(const CatalogFetch::Result &result);
    // A new unpack of the read catalog into the tree, given what was written; the refusal.
    QString startUnpack();
    void unpackAgain();
    bool finishUnpacking();
    void decline(const QString &why);
    void unpackFinished(const ArchiveUnpacker::Result &result);
    // Whether the file ends with the bytes the catalog was read from.
    bool sameEnd() const;
    void stop();

    State m_state = Idle;
    // finish() came while the catalog was being read.
    bool m_finishing = false;
    ArchiveFetch::Answer m_answer;
    int m_archive = -1;
    QString m_tree;
    // What of the file is written: what the answer kept and was told of since.
    Spans m_stored;
    CatalogFetch *m_catalog = nullptr;
    CatalogFetch::Result m_read;
    PipelinedUnpack *m_unpack = nullptr;
};

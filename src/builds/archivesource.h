#pragma once

#include "builds/objectmetadata.h"
#include "transfer/archivefetch.h"

#include <QObject>

class BuildSeries;
class MirrorCheck;
class QNetworkAccessManager;

// Where an attempt's archive comes from and what it is judged by. Without a mirror, the
// storage itself and the checksums it sends. With one, the mirror's copy, judged by what the
// storage says of the object, asked before any byte of it; a copy that does not match is
// refused and the storage's own copy of the same upload fetched instead. Where the storage
// cannot be asked, the mirror's own checksums decide, and the attempt says so (mirrorOnly).
class ArchiveSource : public QObject
{
    Q_OBJECT

public:
    explicit ArchiveSource(QObject *parent = nullptr);

    void setNetworkAccessManager(QNetworkAccessManager *manager);
    // Starts an attempt at build. True when the settings name a mirror, whose copy is judged
    // by what the storage says of it: describe() asks before any byte of it.
    bool begin(int build);
    // Asks the storage about the archive; ready() or missing() follows.
    void describe(const BuildSeries &series);
    // Points request at the archive of build, pinned to the upload the storage described
    // and judged by its description where there is one.
    void aim(ArchiveFetch::Request *request, const BuildSeries &series, int build) const;
    // The storage described the mirror's copy, which is judged by that description.
    bool isVouched() const { return m_vouched; }
    // Hashes the finished file whole and reports with verified() whether it is the object
    // the storage described; generation is what the mirror named.
    void verify(const QString &fileName, const QByteArray &generation);
    // The transfer's end shows the mirror's copy is not the upload the storage described:
    // the bytes did not match, or the mirror holds another upload (it refused the pin with a
    // 412, or named another generation).
    bool refuses(const ArchiveFetch::Result &result) const;
    // Refuses the mirror's copy of build: the next try fetches from the storage itself.
    // Returns the words that say so.
    QString refuse(int build);
    // The attempt takes the mirror's copy with nothing but the mirror's own checksums to
    // judge it by.
    bool mirrorOnly() const { return m_mirrorOnly; }
    void setMirrorOnly(bool mirrorOnly);

signals:
    // The transfer may start.
    void ready();
    // The storage published no archive of the build, whatever a mirror holds under its name.
    void missing();
    void verified(bool matches);
    void mirrorOnlyChanged(bool mirrorOnly);

private:
    void described(ObjectMetadata::Outcome outcome);

    MirrorCheck *m_check;
    int m_build = -1;
    bool m_vouched = false;
    // The attempt fetches from the storage itself, the mirror's copy having been refused.
    bool m_fromOrigin = false;
    bool m_mirrorOnly = false;
};

#pragma once

#include <QByteArray>
#include <QString>

// The part of a build's archive that arrived before a transfer broke, kept with a record of
// what it is a part of, so that the next attempt asks only for the rest.
class PartialDownload
{
public:
    struct Record
    {
        int build = -1;
        // The object's upload, by the storage's generation and its ETag.
        QByteArray generation;
        QByteArray etag;
        qint64 size = -1;
        qint64 kept = 0;
    };

    // What to do with the answer to "Range: bytes=K-".
    enum Answer {
        Append, // a 206 for exactly the rest of the same upload
        UseWhole, // a 200: the whole file again, from byte 0
        StartOver, // anything else: ask again for the whole file
    };
    static Answer judge(const Record &record, int status, const QByteArray &contentRange,
                        const QByteArray &etag, const QByteArray &generation);

    // directory: where the part and its record live.
    explicit PartialDownload(const QString &directory);

    // Makes the directory, owner-only, unless it is there as such; false when it is anything
    // else (a link, someone else's).
    bool prepare() const;
    QString partPath() const;
    // The kept part of build, when its record matches the part; otherwise nothing, and any
    // part there is discarded.
    Record take(int build) const;
    // Writes the record next to the part; false when it could not be written.
    bool save(const Record &record) const;
    // Removes the part, its record and the directory.
    void discard() const;

private:
    QString recordPath() const;

    QString m_directory;
};

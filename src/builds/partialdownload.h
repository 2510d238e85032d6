#pragma once

#include <QByteArray>
#include <QFileInfo>
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

    // directory: the staging directory the part and its record live in.
    explicit PartialDownload(const QString &directory);

    QString partPath() const;
    // Moves the kept part of build, when a staging directory of the install root at `root`
    // holds one whose record matches it, into this directory and returns its record;
    // otherwise an empty record. Every other kept part goes: one build is resumed at most.
    Record adopt(const QString &root, int build) const;
    // Writes the record next to the part; false when it could not be written.
    bool save(const Record &record) const;
    // Removes the record: the directory is an ordinary staging directory again.
    void forget() const;

private:
    QString recordPath() const;
    Record read(int build) const;

    QString m_directory;
};

#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <functional>

class QJsonObject;

// The part of a file that arrived before a transfer broke, kept with a record of
// what it is a part of, so that the next attempt asks only for the rest.
class PartialDownload
{
public:
    // Where kept parts live, as the storage that owns them lays it out: the record's name
    // in a staging directory, the name filter of the directories that may hold one, and how
    // a directory that was looked at goes.
    struct Shelf
    {
        QString recordName;
        QString directories;
        std::function<void(const QString &)> remove;
    };

    // One of the ranges a large file comes in side by side, and how much of it reached the
    // disk at its offset.
    struct Range
    {
        qint64 from = 0;
        qint64 to = -1; // inclusive
        qint64 kept = 0;
        qint64 length() const { return to - from + 1; }
        bool complete() const { return kept >= length(); }
    };

    struct Record
    {
        // Which of the caller's files it is part of (the build, for the downloader).
        int build = -1;
        // The object's upload, by the storage's generation and its ETag.
        QByteArray generation;
        QByteArray etag;
        qint64 size = -1;
        // With ranges: their sum.
        qint64 kept = 0;
        // The ranges of a file that came in parallel, covering it in order; empty for one
        // stream, whose part is the file's first `kept` bytes.
        QList<Range> ranges;
        // The whole file's CRC-32C and MD5, raw, as the first answer named them: what judges
        // the file, whatever a later answer names. The ranges' checksums combine into the CRC.
        QByteArray crc32c;
        QByteArray md5;

        // What the next request asks the rest of: the first unfinished range, or the whole
        // file past the kept part.
        Range next() const;
    };

    // What to do with the answer to "Range: bytes=K-" (or "bytes=K-L" for record.next()).
    enum Answer {
        Append, // a 206 for exactly the rest asked for, of the same upload
        UseWhole, // a 200: the whole file again, from byte 0
        StartOver, // anything else: ask again for the whole file
    };
    static Answer judge(const Record &record, int status, const QByteArray &contentRange,
                        const QByteArray &etag, const QByteArray &generation);

    // directory: the staging directory the part and its record live in.
    PartialDownload(const QString &directory, Shelf shelf);

    QString partPath() const;
    // Moves the kept part of build, when a staging directory in `root` (one the shelf names)
    // holds one whose record matches it, into this directory and returns its record;
    // otherwise an empty record. Every other kept part goes: one build is resumed at most.
    // A staging directory whose StagingLock another session holds is left alone; the caller
    // holds this directory's lock, so that nobody takes the part from it in turn.
    Record adopt(const QString &root, int build) const;
    // Writes the record next to the part; false when it could not be written.
    bool save(const Record &record) const;
    // Removes the record: the directory is an ordinary staging directory again.
    void forget() const;

    // More ranges than a file is ever split into (its first piece and 32 for the rest) make
    // a record no transfer of ours wrote.
    static constexpr int maximumRanges = 33;

private:
    QString recordPath() const;
    Record read(int build) const;
    static void readRanges(const QJsonObject &stored, Record *record);

    QString m_directory;
    Shelf m_shelf;
};

#pragma once

#include "common/staginglock.h"
#include "transfer/archivefetch.h"

#include <QString>

#include <memory>
#include <optional>

class BuildSeries;
class InstallRoot;
class QFile;
class QTemporaryDir;

// Where one attempt's download lives: a fresh directory with an unpredictable name, readable
// by us alone, our lock on it, and a file in it that must not exist yet, so that nothing
// anyone planted is ever opened, run or unpacked. An archive goes next to where it is
// unpacked, so the final rename is atomic and /tmp (in memory on many systems) is spared a
// build's worth of data; a part of the archive that an earlier attempt kept is moved in to be
// resumed. An installer goes to the temporary directory.
class Staging
{
public:
    Staging();
    ~Staging();
    Staging(const Staging &) = delete;
    Staging &operator=(const Staging &) = delete;

    // Makes the staging of build and opens its file; the request names the file and the kept
    // part with its record. None when nothing can be written; where says where it was tried.
    std::optional<ArchiveFetch::Request> open(const BuildSeries &series, const InstallRoot &root,
                                              int build, QString *where);
    // The open file; empty when there is none.
    QString fileName() const;
    // The open file's descriptor, -1 when there is none.
    int descriptor() const;
    // The directory, where an archive is unpacked; empty when there is none.
    QString path() const;
    // Closes the file, which the transfer has finished with.
    void finishWriting();
    // Makes the finished file runnable by us alone, for the installer it is.
    QString makeExecutable();
    // Hands the directory with the finished archive in it to whoever unpacks it, the record
    // of a kept part forgotten; the lock is held until close().
    std::unique_ptr<QTemporaryDir> takeDirectory();
    // Leaves the directory and its file to an installer that goes on running.
    void leave();
    // Removes the file and the directory, or keeps them with the part's record for whoever
    // resumes it; then lets go of the lock.
    void close(bool keepPart = false);
    // Where kept parts live: the install root's staging directories, one swept aside as soon
    // as it was looked at, and the record a leftover sweep spares.
    static PartialDownload::Shelf shelf();

private:
    void makeArchiveStaging(const InstallRoot &root, int build, ArchiveFetch::Request *request);
    void makeInstallerStaging(const QString &where, int build);

    // Declared first, so that a directory given up goes before its lock does.
    StagingLock m_lock;
    std::unique_ptr<QTemporaryDir> m_directory;
    std::unique_ptr<QFile> m_file;
    // The directory is in the install root, where archives are unpacked.
    bool m_unpacksHere = false;
};

#include "builds/staging.h"

#include "builds/buildseries.h"
#include "install/installroot.h"
#include "install/treeremoval.h"
#include "transfer/partialdownload.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

namespace {

std::unique_ptr<QTemporaryDir> privateTemporaryDir(const QString &where)
{
    // QDir::tempPath() is empty when the configured directory is unusable, and a relative
    // template would land wherever we happen to be.
    if (where.isEmpty() || !QFileInfo(where).isDir())
        return nullptr;
    return std::make_unique<QTemporaryDir>(where + QStringLiteral("/tarrowin-XXXXXX"));
}

} // namespace

Staging::Staging() = default;

Staging::~Staging() = default;

std::optional<ArchiveFetch::Request>
Staging::open(const BuildSeries &series, const InstallRoot &root, int build, QString *where)
{
    ArchiveFetch::Request request;
    if (series.method() == BuildSeries::UnpackArchive) {
        *where = root.path();
        makeArchiveStaging(root, build, &request);
    } else {
        *where = QDir::tempPath();
        makeInstallerStaging(*where, build);
    }
    const auto mode = request.record.kept > 0 ? QIODevice::ReadWrite
                                              : QIODevice::ReadWrite | QIODevice::NewOnly;
    if (m_file && !m_file->open(mode))
        m_file.reset();
    if (!m_file) {
        close();
        return std::nullopt;
    }
    request.record.build = build;
    request.file = m_file.get();
    return request;
}

void Staging::makeArchiveStaging(const InstallRoot &root, int build, ArchiveFetch::Request *request)
{
    m_directory = root.createStagingDir();
    m_unpacksHere = true;
    // Held before a part is moved in: another session sharing the root must not take it
    // from under us, nor sweep the directory while we unpack.
    if (m_directory && m_directory->isValid())
        m_lock = StagingLock(m_directory->path());
    if (!m_lock.isHeld())
        return;
    request->partial.emplace(m_directory->path(), shelf());
    request->record = request->partial->adopt(root.path(), build);
    m_file = std::make_unique<QFile>(request->partial->partPath());
}

void Staging::makeInstallerStaging(const QString &where, int build)
{
    m_directory = privateTemporaryDir(where);
    m_unpacksHere = false;
    if (m_directory && m_directory->isValid())
        m_lock = StagingLock(m_directory->path());
    if (m_lock.isHeld())
        m_file = std::make_unique<QFile>(
            m_directory->filePath(QStringLiteral("chromium_installer_%1.exe").arg(build)));
}

QString Staging::fileName() const
{
    return m_file ? m_file->fileName() : QString();
}

int Staging::descriptor() const
{
    return m_file && m_file->isOpen() ? m_file->handle() : -1;
}

QString Staging::path() const
{
    return m_directory ? m_directory->path() : QString();
}

void Staging::finishWriting()
{
    m_file->close();
}

QString Staging::makeExecutable()
{
    m_file->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                           | QFileDevice::ExeOwner);
    return m_file->fileName();
}

PartialDownload::Shelf Staging::shelf()
{
    return { InstallRoot::resumeRecord(), QStringLiteral(".staging-*"),
             [](const QString &directory) { TreeRemoval::removeLater(directory); } };
}

std::unique_ptr<QTemporaryDir> Staging::takeDirectory()
{
    m_file.reset();
    PartialDownload(m_directory->path(), shelf()).forget();
    return std::move(m_directory);
}

void Staging::leave()
{
    if (m_directory)
        m_directory->setAutoRemove(false);
    m_file.reset();
    m_directory.reset();
}

void Staging::close(bool keepPart)
{
    if (m_file) {
        m_file->close();
        // An archive's part goes with its directory.
        if (!keepPart && !m_unpacksHere)
            m_file->remove();
        m_file.reset();
    }
    // A kept part stays in its staging directory, with its record. One an archive was unpacked
    // in goes off this thread: what is left of a tree in it may be thousands of files.
    if (m_directory && (keepPart || m_unpacksHere))
        m_directory->setAutoRemove(false);
    if (m_directory && !keepPart && m_unpacksHere)
        TreeRemoval::removeLater(m_directory->path());
    m_directory.reset();
    // Only once the directory is gone, or holds a part for whoever resumes it.
    m_lock = StagingLock();
}

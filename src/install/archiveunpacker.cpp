#include "install/archiveunpacker.h"

#include "install/archivelibrary.h"
#include "install/installtext.h"
#include "install/unpackrules.h"
#include "install/unpackwork.h"
#include "install/zipcatalog.h"

#include <QFile>
#include <QThread>

#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>
#include <unistd.h>

// Files are written with *at() calls below a descriptor of the destination instead of
// libarchive's disk writer: that writer resolves paths against the process-wide working
// directory (no use on a worker thread) and its symlink checks walk every component of an
// absolute path. Every name here is opened relative to a directory we created, with
// O_NOFOLLOW and O_EXCL, so nothing can lead a write outside the destination or onto a file
// that was already there.

namespace {

using Descriptor = UnpackRules::Descriptor;
// Loaded by the time anything below runs: unpackInOrder checks it first.
const ArchiveLibrary &lib()
{
    return *ArchiveLibrary::instance();
}

struct FreeReader
{
    void operator()(struct archive *reader) const { lib().readFree(reader); }
};
using ReadArchive = std::unique_ptr<struct archive, FreeReader>;

// Large reads keep the system calls per megabyte low; libarchive hands stored data out of
// this buffer directly and inflates into its own, so memory stays flat for any archive size.
constexpr size_t readBlockSize = 1024 * 1024;
// Far more than any build's directory (a few hundred kB): what a lying end record may make
// this read is bounded too.
constexpr qint64 largestDirectory = 16 * 1024 * 1024;

QString systemError(const QString &what, const QByteArray &path)
{
    return UnpackRules::systemError(what, path);
}

bool cancelled(const std::atomic<bool> *cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

using CheckedEntry = UnpackRules::Checked;

// The rules, fed from what libarchive makes of an entry.
QString checkEntry(UnpackRules &rules, struct archive_entry *entry, CheckedEntry *checked)
{
    const char *name = lib().entryPathname(entry);
    const mode_t type = lib().entryFiletype(entry);
    const UnpackRules::Type kind
        = lib().entryHardlink(entry) || (type != AE_IFREG && type != AE_IFDIR)
        ? UnpackRules::Type::Other
        : type == AE_IFDIR ? UnpackRules::Type::Directory
                           : UnpackRules::Type::File;
    return rules.check(name ? QByteArray(name) : QByteArray(), kind, lib().entryIsEncrypted(entry),
                       lib().entrySizeIsSet(entry) ? lib().entrySize(entry) : -1, checked);
}

// Opens the archive for one pass. Only zip, and only through its central directory: that is
// the list every other tool shows and it declares every size up front, while a streaming read
// of local headers could be shown different entries than the directory lists. Every other
// format reader would only be more code an attacker can reach.
// Both passes read the one descriptor opened at the start, so they see the same file even if
// the path were replaced in between.
QString openArchive(int file, ReadArchive &reader)
{
    reader.reset(lib().readNew());
    if (!reader)
        return InstallText::tr("Out of memory");
    lib().supportZipSeekable(reader.get());
    if (::lseek(file, 0, SEEK_SET) != 0
        || lib().openFd(reader.get(), file, readBlockSize) != ARCHIVE_OK)
        return InstallText::tr("The archive is damaged or not a zip archive: %1")
            .arg(QString::fromLocal8Bit(lib().errorString(reader.get())));
    return {};
}

QString damaged(struct archive *reader)
{
    const char *detail = lib().errorString(reader);
    return detail ? UnpackRules::damaged(QString::fromLocal8Bit(detail))
                  : InstallText::tr("The archive is damaged");
}

class Extraction
{
public:
    Extraction(Descriptor root, const ArchiveUnpacker::Limits &limits,
               const std::atomic<bool> *cancel)
        : m_root(std::move(root))
        , m_limits(limits)
        , m_cancel(cancel)
    {
    }

    int root() const { return m_root.get(); }
    qint64 bytes() const { return m_bytes; }
    void closeAll()
    {
        m_cached.reset();
        m_cachedPath.clear();
    }

    QString makeDirectory(const QByteArray &relative)
    {
        int fd = -1;
        return directory(relative, &fd);
    }

    QString writeFile(struct archive *reader, struct archive_entry *entry,
                      const CheckedEntry &checked, const UnpackRules &rules)
    {
        Descriptor file;
        if (const QString error = createFile(checked.relative, lib().entryPerm(entry), &file);
            !error.isEmpty())
            return error;
        const qint64 declared = lib().entrySizeIsSet(entry) ? lib().entrySize(entry) : -1;
        qint64 written = 0;
        if (const QString error
            = copyData(reader, file.get(), checked.relative, declared, rules, &written);
            !error.isEmpty())
            return error;
        // The checksum has been verified by now; a short file can only be a damaged archive.
        if (declared >= 0 && written != declared)
            return InstallText::tr("The archive is damaged: %1 is shorter than it says")
                .arg(QFile::decodeName(checked.relative));
        if (::close(file.release()) != 0)
            return systemError(InstallText::tr("Cannot write"), checked.relative);
        return {};
    }

private:
    // A new file at `relative`, never over anything that is there.
    QString createFile(const QByteArray &relative, mode_t permissions, Descriptor *file)
    {
        const int slash = relative.lastIndexOf('/');
        const QByteArray parentPath = slash < 0 ? QByteArray() : relative.left(slash);
        const QByteArray leaf = relative.mid(slash + 1);
        int parent = -1;
        if (const QString error = directory(parentPath, &parent); !error.isEmpty())
            return error;

        Descriptor created(::openat(parent, leaf.constData(),
                                    O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!created.isValid())
            return systemError(InstallText::tr("Cannot create"), relative);
        // Only the owner's execute bit decides; set-id, sticky and group or world write
        // permissions from the archive are never carried over.
        const mode_t mode = (permissions & 0111) ? 0755 : 0644;
        if (::fchmod(created.get(), mode) != 0)
            return systemError(InstallText::tr("Cannot set the mode of"), relative);
        *file = std::move(created);
        return {};
    }

    // The entry's data into `file`, within its declared size and the limit on all bytes.
    QString copyData(struct archive *reader, int file, const QByteArray &relative, qint64 declared,
                     const UnpackRules &rules, qint64 *written)
    {
        // Bounded: every round either consumes archive data or ends the entry.
        for (;;) {
            if (cancelled(m_cancel))
                return InstallText::tr("Cancelled");
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int status = lib().dataBlock(reader, &block, &size, &offset);
            if (status == ARCHIVE_EOF)
                return {};
            if (status != ARCHIVE_OK)
                return damaged(reader);
            if (offset != *written)
                return InstallText::tr("The archive is damaged: %1 has gaps")
                    .arg(QFile::decodeName(relative));
            const qint64 length = qint64(size);
            if (length > m_limits.maximumBytes - m_bytes)
                return rules.tooLarge();
            if (declared >= 0 && length > declared - *written)
                return InstallText::tr("The archive is damaged: %1 is larger than it says")
                    .arg(QFile::decodeName(relative));
            if (const QString error = writeAll(file, block, size, relative); !error.isEmpty())
                return error;
            *written += length;
            m_bytes += length;
        }
    }

    static QString writeAll(int fd, const void *data, size_t size, const QByteArray &path)
    {
        const char *next = static_cast<const char *>(data);
        // Bounded: every round writes at least one byte or fails.
        while (size > 0) {
            const ssize_t done = ::write(fd, next, size);
            if (done < 0 && errno == EINTR)
                continue;
            if (done <= 0)
                return systemError(InstallText::tr("Cannot write"), path);
            next += done;
            size -= size_t(done);
        }
        return {};
    }

    // The descriptor of `relative` (empty: the destination), creating what is missing. Files
    // of one folder come together in build archives, so the last folder is kept open.
    QString directory(const QByteArray &relative, int *fd)
    {
        if (relative.isEmpty()) {
            *fd = m_root.get();
            return {};
        }
        if (m_cached.isValid() && relative == m_cachedPath) {
            *fd = m_cached.get();
            return {};
        }
        m_cached.reset();
        Descriptor current;
        int at = m_root.get();
        for (const QByteArray &component : relative.split('/')) {
            const bool created = ::mkdirat(at, component.constData(), 0755) == 0;
            if (!created && errno != EEXIST)
                return systemError(InstallText::tr("Cannot create"), relative);
            Descriptor next(::openat(at, component.constData(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next.isValid())
                return systemError(InstallText::tr("Cannot open"), relative);
            // mkdir applies the umask; folders are 0755 whatever it is.
            if (created && ::fchmod(next.get(), 0755) != 0)
                return systemError(InstallText::tr("Cannot set the mode of"), relative);
            current = std::move(next);
            at = current.get();
        }
        m_cached = std::move(current);
        m_cachedPath = relative;
        *fd = m_cached.get();
        return {};
    }

    Descriptor m_root;
    ArchiveUnpacker::Limits m_limits;
    const std::atomic<bool> *m_cancel;
    Descriptor m_cached;
    QByteArray m_cachedPath;
    qint64 m_bytes = 0;
};

// Lists the whole archive without unpacking anything, so an archive that breaks a rule
// anywhere is refused before a single file is written. The zip reader seeks from header to
// header through the central directory, so this costs no decompression.
QString listArchive(int archive, const QString &topFolder, const ArchiveUnpacker::Limits &limits,
                    const std::atomic<bool> *cancel)
{
    ReadArchive reader;
    if (const QString error = openArchive(archive, reader); !error.isEmpty())
        return error;
    UnpackRules rules(topFolder, limits);
    // Bounded by the entry limit the rules enforce.
    for (;;) {
        if (cancelled(cancel))
            return InstallText::tr("Cancelled");
        struct archive_entry *entry = nullptr;
        const int status = lib().nextHeader(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            return {};
        if (status != ARCHIVE_OK)
            return damaged(reader.get());
        CheckedEntry checked;
        if (const QString error = checkEntry(rules, entry, &checked); !error.isEmpty())
            return error;
    }
}

QString extractArchive(int archive, const QString &topFolder, const ArchiveUnpacker::Limits &limits,
                       const std::atomic<bool> *cancel, Extraction &extraction,
                       ArchiveUnpacker::Result &result)
{
    ReadArchive reader;
    if (const QString error = openArchive(archive, reader); !error.isEmpty())
        return error;
    UnpackRules rules(topFolder, limits);
    for (;;) {
        if (cancelled(cancel))
            return InstallText::tr("Cancelled");
        struct archive_entry *entry = nullptr;
        const int status = lib().nextHeader(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status != ARCHIVE_OK)
            return damaged(reader.get());
        CheckedEntry checked;
        QString error = checkEntry(rules, entry, &checked);
        if (error.isEmpty() && !checked.topFolder) {
            error = checked.directory ? extraction.makeDirectory(checked.relative)
                                      : extraction.writeFile(reader.get(), entry, checked, rules);
        }
        if (!error.isEmpty())
            return error;
    }
    result.entries = rules.entries();
    result.bytes = extraction.bytes();

    return UnpackRules::checkChrome(extraction.root(), topFolder);
}

// Today's reader, for the archives the catalog does not take (ZIP64): one entry after the
// other on this thread.
ArchiveUnpacker::Result unpackInOrder(int file, const QString &destination,
                                      const QString &topFolder,
                                      const ArchiveUnpacker::Limits &limits,
                                      const std::atomic<bool> *cancel)
{
    ArchiveUnpacker::Result result;
    if (!ArchiveLibrary::instance(&result.error))
        return result;

    // Creating the destination is the check that it did not exist: a tree that was already
    // there is never written into, and never removed.
    const QByteArray target = QFile::encodeName(destination);
    if (::mkdir(target.constData(), 0755) != 0) {
        result.error = errno == EEXIST
            ? InstallText::tr("The destination already exists: %1").arg(destination)
            : systemError(InstallText::tr("Cannot create"), target);
        return result;
    }
    Descriptor root(::open(target.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root.isValid() || ::fchmod(root.get(), 0755) != 0) {
        result.error = systemError(InstallText::tr("Cannot open"), target);
        ::rmdir(target.constData());
        return result;
    }

    QString error = listArchive(file, topFolder, limits, cancel);
    Extraction extraction(std::move(root), limits, cancel);
    if (error.isEmpty())
        error = extractArchive(file, topFolder, limits, cancel, extraction, result);
    if (error.isEmpty()) {
        result.ok = true;
        return result;
    }

    extraction.closeAll();
    UnpackRules::removeContents(extraction.root());
    ::rmdir(target.constData());
    return ArchiveUnpacker::Result { false, error, 0, 0 };
}

// The catalog from the archive's last bytes, read again from where its directory begins
// when that lies before them.
bool readCatalog(int file, qint64 size, ZipCatalog *catalog, QString *error)
{
    qint64 from = std::max<qint64>(0, size - ZipCatalog::tailSize);
    // Bounded: the second round starts before the first, and the catalog asks for no more.
    for (int round = 0; round < 2; ++round) {
        if (size - from > largestDirectory) {
            *error = UnpackRules::damaged(InstallText::tr("its central directory is too large"));
            return false;
        }
        QByteArray tail(size - from, Qt::Uninitialized);
        qint64 done = 0;
        while (done < tail.size()) {
            const ssize_t got
                = ::pread(file, tail.data() + done, size_t(tail.size() - done), off_t(from + done));
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0) {
                *error = InstallText::tr("The archive is damaged or not a zip archive: %1")
                             .arg(got < 0 ? qt_error_string(errno)
                                          : InstallText::tr("it is cut short"));
                return false;
            }
            done += got;
        }
        qint64 needFrom = -1;
        if (catalog->read(tail, size, &needFrom, error))
            return true;
        if (!error->isEmpty() || needFrom < 0 || needFrom >= from)
            break;
        from = needFrom;
    }
    if (error->isEmpty())
        *error
            = UnpackRules::damaged(InstallText::tr("its central directory is not where it says"));
    return false;
}

// The archive's entries as its catalog lists them, on every core; archive: a descriptor this
// takes over.
ArchiveUnpacker::Result unpackByCatalog(int archive, const ZipCatalog &catalog,
                                        const QString &destination, const QString &topFolder,
                                        const ArchiveUnpacker::Limits &limits,
                                        const std::atomic<bool> *cancel)
{
    ArchiveUnpacker::Result result;
    UnpackWork work(archive, catalog, topFolder, limits, cancel);
    QString error = work.prepare(destination);
    if (!error.isEmpty()) {
        result.error = error;
        return result;
    }
    error = work.unpackAll(std::max(1, QThread::idealThreadCount()));
    if (error.isEmpty())
        error = work.conclude();
    if (!error.isEmpty()) {
        work.removeTree();
        result.error = error;
        return result;
    }
    result.ok = true;
    result.entries = work.entries();
    result.bytes = work.bytes();
    return result;
}

} // namespace

ArchiveUnpacker::Result ArchiveUnpacker::unpack(const QString &archive, const QString &destination,
                                                const QString &topFolder, const Limits &limits,
                                                const std::atomic<bool> *cancel)
{
    Result result;
    if (topFolder.isEmpty() || topFolder.contains(QLatin1Char('/'))
        || topFolder == QLatin1String(".") || topFolder == QLatin1String("..")) {
        result.error = InstallText::tr("No top folder to unpack");
        return result;
    }
    const QByteArray source = QFile::encodeName(archive);
    Descriptor file(::open(source.constData(), O_RDONLY | O_CLOEXEC));
    struct stat info;
    if (!file.isValid() || ::fstat(file.get(), &info) != 0) {
        result.error = systemError(InstallText::tr("Cannot open"), source);
        return result;
    }

    ZipCatalog catalog;
    if (!readCatalog(file.get(), info.st_size, &catalog, &result.error)) {
        // A format the catalog does not take is no fault of the archive's.
        if (result.error != UnpackRules::zip64Refused())
            return result;
        return unpackInOrder(file.get(), destination, topFolder, limits, cancel);
    }

    // Every entry on a core of its own, one of them this thread.
    return unpackByCatalog(file.release(), catalog, destination, topFolder, limits, cancel);
}

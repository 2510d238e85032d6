#include "install/archiveunpacker.h"

#include <QCoreApplication>
#include <QFile>
#include <QSet>

#include <archive.h>
#include <archive_entry.h>

#include <cerrno>
#include <dirent.h>
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

// What reaches the user (the status line, a balloon) is translatable.
struct Text
{
    Q_DECLARE_TR_FUNCTIONS(ArchiveUnpacker)
};

using ReadArchive = std::unique_ptr<struct archive, decltype(&archive_read_free)>;

// Large reads keep the system calls per megabyte low; libarchive hands stored data out of
// this buffer directly and inflates into its own, so memory stays flat for any archive size.
constexpr size_t readBlockSize = 1024 * 1024;
// Far deeper than any build; it bounds the descriptors and recursion of the clean-up.
constexpr int maximumDepth = 64;

class Descriptor
{
public:
    explicit Descriptor(int fd = -1)
        : m_fd(fd)
    {
    }
    ~Descriptor() { reset(); }
    Descriptor(const Descriptor &) = delete;
    Descriptor &operator=(const Descriptor &) = delete;
    Descriptor(Descriptor &&other) noexcept
        : m_fd(other.release())
    {
    }
    Descriptor &operator=(Descriptor &&other) noexcept
    {
        if (this != &other) {
            reset();
            m_fd = other.release();
        }
        return *this;
    }

    int get() const { return m_fd; }
    bool isValid() const { return m_fd >= 0; }
    int release()
    {
        const int fd = m_fd;
        m_fd = -1;
        return fd;
    }
    void reset()
    {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = -1;
    }

private:
    int m_fd;
};

QString systemError(const QString &what, const QByteArray &path)
{
    const int error = errno;
    return QStringLiteral("%1 %2: %3").arg(what, QFile::decodeName(path), qt_error_string(error));
}

bool cancelled(const std::atomic<bool> *cancel)
{
    return cancel && cancel->load(std::memory_order_relaxed);
}

struct CheckedEntry
{
    QByteArray relative; // below the top folder, without a trailing slash
    bool directory = false;
    bool topFolder = false; // the top folder's own entry: nothing to write
};

// Names every later step can handle: what cannot be decoded could be written, but never
// removed again through the QString paths the rest of the program uses.
bool isPrintableUtf8(const QByteArray &name)
{
    for (const char c : name) {
        if (uchar(c) < 0x20 || uchar(c) == 0x7f)
            return false;
    }
    return QString::fromUtf8(name).toUtf8() == name;
}

// The rules every entry passes, applied the same way when listing and when writing.
class EntryRules
{
public:
    EntryRules(const QString &topFolder, const ArchiveUnpacker::Limits &limits)
        : m_top(QFile::encodeName(topFolder))
        , m_limits(limits)
    {
    }

    qint64 entries() const { return m_entries; }

    // Empty when the entry may be unpacked.
    QString check(struct archive_entry *entry, CheckedEntry *checked)
    {
        if (++m_entries > m_limits.maximumEntries)
            return Text::tr("The archive has more than %1 entries").arg(m_limits.maximumEntries);
        const char *name = archive_entry_pathname(entry);
        if (!name || !*name)
            return Text::tr("The archive contains an entry without a usable name");
        QByteArray path(name);
        const QString shown = QFile::decodeName(path);

        const mode_t type = archive_entry_filetype(entry);
        if (archive_entry_hardlink(entry) || (type != AE_IFREG && type != AE_IFDIR))
            return Text::tr("The archive contains a link or special file: %1").arg(shown);
        if (archive_entry_is_encrypted(entry))
            return Text::tr("The archive contains an encrypted entry: %1").arg(shown);

        checked->directory = type == AE_IFDIR;
        if (checked->directory && path.endsWith('/'))
            path.chop(1);
        const QList<QByteArray> components = path.split('/');
        if (components.size() > maximumDepth + 1)
            return Text::tr("The archive nests folders too deeply: %1").arg(shown);
        for (const QByteArray &component : components) {
            if (component.isEmpty() || component == "." || component == ".."
                || component.contains('\\') || !isPrintableUtf8(component))
                return Text::tr("The archive contains an unsafe path: %1").arg(shown);
        }
        if (components.first() != m_top || (components.size() == 1 && !checked->directory))
            return Text::tr("The archive contains an entry outside %1/")
                .arg(QFile::decodeName(m_top));

        checked->topFolder = components.size() == 1;
        checked->relative = path.mid(m_top.size() + 1);
        if (m_seen.contains(path))
            return Text::tr("The archive lists %1 twice").arg(shown);
        m_seen.insert(path);

        if (!checked->directory && archive_entry_size_is_set(entry)) {
            const qint64 size = archive_entry_size(entry);
            if (size < 0)
                return Text::tr("The archive is damaged: %1 has no valid size").arg(shown);
            if (size > m_limits.maximumBytes - m_declared)
                return tooLarge();
            m_declared += size;
        }
        return {};
    }

    QString tooLarge() const
    {
        return Text::tr("The archive unpacks to more than %1 bytes").arg(m_limits.maximumBytes);
    }

private:
    QByteArray m_top;
    ArchiveUnpacker::Limits m_limits;
    qint64 m_entries = 0;
    qint64 m_declared = 0;
    QSet<QByteArray> m_seen;
};

// Opens the archive for one pass. Only zip, and only through its central directory: that is
// the list every other tool shows and it declares every size up front, while a streaming read
// of local headers could be shown different entries than the directory lists. Every other
// format reader would only be more code an attacker can reach.
// Both passes read the one descriptor opened at the start, so they see the same file even if
// the path were replaced in between.
QString openArchive(int file, ReadArchive &reader)
{
    reader.reset(archive_read_new());
    if (!reader)
        return Text::tr("Out of memory");
    archive_read_support_format_zip_seekable(reader.get());
    if (::lseek(file, 0, SEEK_SET) != 0
        || archive_read_open_fd(reader.get(), file, readBlockSize) != ARCHIVE_OK)
        return Text::tr("The archive is damaged or not a zip archive: %1")
            .arg(QString::fromLocal8Bit(archive_error_string(reader.get())));
    return {};
}

QString damaged(struct archive *reader)
{
    const char *detail = archive_error_string(reader);
    return detail ? Text::tr("The archive is damaged: %1").arg(QString::fromLocal8Bit(detail))
                  : Text::tr("The archive is damaged");
}

// Removes everything below `directory` without following links: the tree is ours, but a
// clean-up must never reach outside it whatever is found there.
void removeContents(int directory, int depth)
{
    Descriptor listing(::dup(directory));
    if (!listing.isValid())
        return;
    DIR *stream = ::fdopendir(listing.get());
    if (!stream)
        return;
    listing.release();
    struct Closer
    {
        void operator()(DIR *open) const { ::closedir(open); }
    };
    std::unique_ptr<DIR, Closer> closer(stream);
    while (const dirent *item = ::readdir(stream)) {
        const char *name = item->d_name;
        if (qstrcmp(name, ".") == 0 || qstrcmp(name, "..") == 0)
            continue;
        if (::unlinkat(directory, name, 0) == 0)
            continue;
        if (depth >= maximumDepth + 1)
            continue;
        Descriptor child(
            ::openat(directory, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (child.isValid()) {
            removeContents(child.get(), depth + 1);
            child.reset();
            ::unlinkat(directory, name, AT_REMOVEDIR);
        }
    }
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
                      const CheckedEntry &checked, const EntryRules &rules)
    {
        const int slash = checked.relative.lastIndexOf('/');
        const QByteArray parentPath = slash < 0 ? QByteArray() : checked.relative.left(slash);
        const QByteArray leaf = checked.relative.mid(slash + 1);
        int parent = -1;
        if (const QString error = directory(parentPath, &parent); !error.isEmpty())
            return error;

        Descriptor file(::openat(parent, leaf.constData(),
                                 O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!file.isValid())
            return systemError(Text::tr("Cannot create"), checked.relative);
        // Only the owner's execute bit decides; set-id, sticky and group or world write
        // permissions from the archive are never carried over.
        const mode_t mode = (archive_entry_perm(entry) & 0111) ? 0755 : 0644;
        if (::fchmod(file.get(), mode) != 0)
            return systemError(Text::tr("Cannot set the mode of"), checked.relative);

        const qint64 declared = archive_entry_size_is_set(entry) ? archive_entry_size(entry) : -1;
        qint64 written = 0;
        // Bounded: every round either consumes archive data or ends the entry.
        for (;;) {
            if (cancelled(m_cancel))
                return Text::tr("Cancelled");
            const void *block = nullptr;
            size_t size = 0;
            la_int64_t offset = 0;
            const int status = archive_read_data_block(reader, &block, &size, &offset);
            if (status == ARCHIVE_EOF)
                break;
            if (status != ARCHIVE_OK)
                return damaged(reader);
            if (offset != written)
                return Text::tr("The archive is damaged: %1 has gaps")
                    .arg(QFile::decodeName(checked.relative));
            const qint64 length = qint64(size);
            if (length > m_limits.maximumBytes - m_bytes)
                return rules.tooLarge();
            if (declared >= 0 && length > declared - written)
                return Text::tr("The archive is damaged: %1 is larger than it says")
                    .arg(QFile::decodeName(checked.relative));
            if (const QString error = writeAll(file.get(), block, size, checked.relative);
                !error.isEmpty())
                return error;
            written += length;
            m_bytes += length;
        }
        // The checksum has been verified by now; a short file can only be a damaged archive.
        if (declared >= 0 && written != declared)
            return Text::tr("The archive is damaged: %1 is shorter than it says")
                .arg(QFile::decodeName(checked.relative));
        if (::close(file.release()) != 0)
            return systemError(Text::tr("Cannot write"), checked.relative);
        return {};
    }

private:
    static QString writeAll(int fd, const void *data, size_t size, const QByteArray &path)
    {
        const char *next = static_cast<const char *>(data);
        // Bounded: every round writes at least one byte or fails.
        while (size > 0) {
            const ssize_t done = ::write(fd, next, size);
            if (done < 0 && errno == EINTR)
                continue;
            if (done <= 0)
                return systemError(Text::tr("Cannot write"), path);
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
                return systemError(Text::tr("Cannot create"), relative);
            Descriptor next(::openat(at, component.constData(),
                                     O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
            if (!next.isValid())
                return systemError(Text::tr("Cannot open"), relative);
            // mkdir applies the umask; folders are 0755 whatever it is.
            if (created && ::fchmod(next.get(), 0755) != 0)
                return systemError(Text::tr("Cannot set the mode of"), relative);
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
    ReadArchive reader(nullptr, archive_read_free);
    if (const QString error = openArchive(archive, reader); !error.isEmpty())
        return error;
    EntryRules rules(topFolder, limits);
    // Bounded by the entry limit the rules enforce.
    for (;;) {
        if (cancelled(cancel))
            return Text::tr("Cancelled");
        struct archive_entry *entry = nullptr;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            return {};
        if (status != ARCHIVE_OK)
            return damaged(reader.get());
        CheckedEntry checked;
        if (const QString error = rules.check(entry, &checked); !error.isEmpty())
            return error;
    }
}

QString extractArchive(int archive, const QString &topFolder, const ArchiveUnpacker::Limits &limits,
                       const std::atomic<bool> *cancel, Extraction &extraction,
                       ArchiveUnpacker::Result &result)
{
    ReadArchive reader(nullptr, archive_read_free);
    if (const QString error = openArchive(archive, reader); !error.isEmpty())
        return error;
    EntryRules rules(topFolder, limits);
    for (;;) {
        if (cancelled(cancel))
            return Text::tr("Cancelled");
        struct archive_entry *entry = nullptr;
        const int status = archive_read_next_header(reader.get(), &entry);
        if (status == ARCHIVE_EOF)
            break;
        if (status != ARCHIVE_OK)
            return damaged(reader.get());
        CheckedEntry checked;
        QString error = rules.check(entry, &checked);
        if (error.isEmpty() && !checked.topFolder) {
            error = checked.directory ? extraction.makeDirectory(checked.relative)
                                      : extraction.writeFile(reader.get(), entry, checked, rules);
        }
        if (!error.isEmpty())
            return error;
    }
    result.entries = rules.entries();
    result.bytes = extraction.bytes();

    struct stat chrome;
    if (::fstatat(extraction.root(), "chrome", &chrome, AT_SYMLINK_NOFOLLOW) != 0
        || !S_ISREG(chrome.st_mode) || !(chrome.st_mode & S_IXUSR))
        return Text::tr("The archive has no executable %1/chrome").arg(topFolder);
    return {};
}

} // namespace

ArchiveUnpacker::Result ArchiveUnpacker::unpack(const QString &archive, const QString &destination,
                                                const QString &topFolder, const Limits &limits,
                                                const std::atomic<bool> *cancel)
{
    Result result;
    if (topFolder.isEmpty() || topFolder.contains(QLatin1Char('/'))
        || topFolder == QLatin1String(".") || topFolder == QLatin1String("..")) {
        result.error = Text::tr("No top folder to unpack");
        return result;
    }
    const QByteArray source = QFile::encodeName(archive);
    const Descriptor file(::open(source.constData(), O_RDONLY | O_CLOEXEC));
    if (!file.isValid()) {
        result.error = systemError(Text::tr("Cannot open"), source);
        return result;
    }
    // Creating the destination is the check that it did not exist: a tree that was already
    // there is never written into, and never removed.
    const QByteArray target = QFile::encodeName(destination);
    if (::mkdir(target.constData(), 0755) != 0) {
        result.error = errno == EEXIST
            ? Text::tr("The destination already exists: %1").arg(destination)
            : systemError(Text::tr("Cannot create"), target);
        return result;
    }
    Descriptor root(::open(target.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!root.isValid() || ::fchmod(root.get(), 0755) != 0) {
        result.error = systemError(Text::tr("Cannot open"), target);
        ::rmdir(target.constData());
        return result;
    }

    QString error = listArchive(file.get(), topFolder, limits, cancel);
    Extraction extraction(std::move(root), limits, cancel);
    if (error.isEmpty())
        error = extractArchive(file.get(), topFolder, limits, cancel, extraction, result);
    if (error.isEmpty()) {
        result.ok = true;
        return result;
    }

    extraction.closeAll();
    removeContents(extraction.root(), 0);
    ::rmdir(target.constData());
    return Result { false, error, 0, 0 };
}

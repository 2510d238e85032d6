#include "install/unpackwork.h"

#include "install/installtext.h"

#include <QFile>
#include <QFileInfo>
#include <QThreadPool>
#include <QtEndian>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <memory>
#include <numeric>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <zlib.h>

namespace {

using Descriptor = UnpackRules::Descriptor;

constexpr quint32 localSignature = 0x04034b50;
constexpr qint64 localHeaderSize = 30;
constexpr quint16 encryptedFlags = 0x0001 | 0x0040;
// Per worker: compressed bytes in, unpacked bytes out. Large enough to keep the system calls
// per megabyte low, small enough that a worker on each of 64 cores stays under 48 MiB
// together (with zlib's window and state).
constexpr qint64 inputBlockSize = 128 * 1024;
constexpr qint64 outputBlockSize = 512 * 1024;
// Written bytes are started to disk in pieces this large: few system calls, and never much
// dirty data piled up for the final sync.
constexpr qint64 writebackPiece = 8 * 1024 * 1024;

QString cancelled()
{
    return InstallText::tr("Cancelled");
}

UnpackRules::Type typeOf(const ZipCatalog::Entry &entry)
{
    // A name ending in a slash is a folder whatever its attributes say, as every zip reader
    // has it. A FIFO cannot be made from a zip either: its bytes arrive as a plain file.
    const mode_t type = entry.mode & S_IFMT;
    if (entry.directory && (type == 0 || type == S_IFDIR || type == S_IFREG))
        return UnpackRules::Type::Directory;
    if (type == 0 || type == S_IFREG || type == S_IFIFO)
        return UnpackRules::Type::File;
    return UnpackRules::Type::Other;
}

// Every entry against the rules, in the catalog's order, before anything is written.
QString checkEntries(const ZipCatalog &catalog, UnpackRules *rules,
                     QList<UnpackRules::Checked> *checked)
{
    checked->reserve(catalog.entries().size());
    for (const ZipCatalog::Entry &entry : catalog.entries()) {
        UnpackRules::Checked one;
        const QString error = rules->check(entry.name, typeOf(entry), entry.flags & encryptedFlags,
                                           entry.directory ? -1 : entry.size, &one);
        if (!error.isEmpty())
            return error;
        if (!one.directory && entry.method != 0 && entry.method != Z_DEFLATED)
            return UnpackRules::damaged(
                InstallText::tr("%1 is compressed in a way this unpacker does not take")
                    .arg(QFile::decodeName(entry.name)));
        checked->append(one);
    }
    return {};
}

// A disk that fills up half-way leaves a broken tree and a full disk; what the archive
// declares is known before anything is written, so it is said then.
QString checkSpace(const QString &destination, qint64 declaredBytes)
{
    const QByteArray parent = QFile::encodeName(QFileInfo(destination).absolutePath());
    struct statvfs space;
    if (::statvfs(parent.constData(), &space) == 0
        && qint64(space.f_bavail) * qint64(space.f_frsize) < declaredBytes) {
        return InstallText::tr(
                   "There is not enough free space to unpack the build: it needs %1 MB, %2 MB "
                   "are free")
            .arg((declaredBytes + 999999) / 1000000)
            .arg(qint64(space.f_bavail) * qint64(space.f_frsize) / 1000000);
    }
    return {};
}

// Creating the destination is the check that it did not exist: a tree that was already
// there is never written into, and never removed.
QString createDestination(const QString &destination, Descriptor *root)
{
    const QByteArray target = QFile::encodeName(destination);
    if (::mkdir(target.constData(), 0755) != 0) {
        return errno == EEXIST
            ? InstallText::tr("The destination already exists: %1").arg(destination)
            : UnpackRules::systemError(InstallText::tr("Cannot create"), target);
    }
    Descriptor opened(::open(target.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!opened.isValid() || ::fchmod(opened.get(), 0755) != 0) {
        const QString error = UnpackRules::systemError(InstallText::tr("Cannot open"), target);
        ::rmdir(target.constData());
        return error;
    }
    *root = std::move(opened);
    return {};
}

// Inflates what the stream holds into `output`, with room for one byte past the `left`
// bytes still declared at most: a bomb stops at that byte. *produced is what came out.
QString inflateBlock(z_stream *stream, char *output, qint64 left, const QString &name, int *status,
                     qint64 *produced)
{
    const qint64 room = std::min(outputBlockSize, left + 1);
    stream->next_out = reinterpret_cast<Bytef *>(output);
    stream->avail_out = uInt(room);
    *status = inflate(stream, Z_NO_FLUSH);
    if (*status != Z_OK && *status != Z_STREAM_END && *status != Z_BUF_ERROR)
        return UnpackRules::damaged(stream->msg
                                        ? QString::fromLatin1(stream->msg)
                                        : InstallText::tr("%1 cannot be inflated").arg(name));
    *produced = room - stream->avail_out;
    if (*produced > left)
        return InstallText::tr("The archive is damaged: %1 is larger than it says").arg(name);
    return {};
}

} // namespace

// One entry's inflation: zlib's stream, its buffers and how far it has come.
struct UnpackWork::Inflation
{
    z_stream stream {};
    bool open = false;
    const std::unique_ptr<char[]> input { new char[inputBlockSize] };
    const std::unique_ptr<char[]> output { new char[outputBlockSize] };
    uLong sum = crc32_z(0, nullptr, 0);
    qint64 read = 0;
    qint64 written = 0;
    qint64 pushed = 0;
    int status = Z_OK;
    ~Inflation()
    {
        if (open)
            inflateEnd(&stream);
    }
};

UnpackWork::UnpackWork(int archive, const ZipCatalog &catalog, const QString &topFolder,
                       const ArchiveUnpacker::Limits &limits, const std::atomic<bool> *cancel)
    : m_archive(archive)
    , m_catalog(catalog)
    , m_topFolder(topFolder)
    , m_limits(limits)
    , m_cancel(cancel)
{
}

bool UnpackWork::stopped() const
{
    return m_stop.load(std::memory_order_relaxed)
        || (m_cancel && m_cancel->load(std::memory_order_relaxed));
}

QString UnpackWork::prepare(const QString &destination)
{
    if (!m_archive.isValid())
        return InstallText::tr("Cannot open the archive");
    UnpackRules rules(m_topFolder, m_limits);
    QList<UnpackRules::Checked> checked;
    if (const QString error = checkEntries(m_catalog, &rules, &checked); !error.isEmpty())
        return error;
    if (stopped())
        return cancelled();
    if (const QString error = checkSpace(destination, rules.declaredBytes()); !error.isEmpty())
        return error;
    Descriptor root;
    if (const QString error = createDestination(destination, &root); !error.isEmpty())
        return error;
    m_root = std::move(root);
    m_destination = QFile::encodeName(destination);
    m_checked = checked;
    return {};
}

QString UnpackWork::unpackEntry(qsizetype index, const Arrival &arrival)
{
    if (stopped())
        return cancelled();
    const ZipCatalog::Entry &entry = m_catalog.entries().at(index);
    const UnpackRules::Checked &checked = m_checked.at(index);
    qint64 data = 0;
    if (const QString error = checkLocalHeader(entry, arrival, &data); !error.isEmpty())
        return error;

    if (checked.topFolder)
        return {};
    if (checked.directory) {
        Descriptor made;
        return folder(checked.relative, &made);
    }
    Descriptor file;
    if (const QString error = createFile(checked.relative, entry.mode, &file); !error.isEmpty())
        return error;

    quint32 crc = 0;
    const QString error = entry.method == 0
        ? copyStored(entry, data, file.get(), checked.relative, arrival, &crc)
        : inflateDeflated(entry, data, file.get(), checked.relative, arrival, &crc);
    if (!error.isEmpty())
        return error;
    if (crc != entry.crc32)
        return UnpackRules::damaged(
            InstallText::tr("%1 fails its CRC check").arg(QFile::decodeName(entry.name)));
    qint64 pushed = 0;
    writeBack(file.get(), entry.size, &pushed);
    if (::close(file.release()) != 0)
        return UnpackRules::systemError(InstallText::tr("Cannot write"), checked.relative);
    return {};
}

// The local header must say what the directory says: a reader that trusts either alone
// could be shown another file than the list the rules checked. *data is where the entry's
// bytes begin.
QString UnpackWork::checkLocalHeader(const ZipCatalog::Entry &entry, const Arrival &arrival,
                                     qint64 *data) const
{
    const QByteArray &shown = entry.name;
    const QString name = QFile::decodeName(shown);
    const qint64 headerLength = localHeaderSize + entry.name.size();
    if (entry.spanEnd - entry.headerOffset < headerLength)
        return UnpackRules::damaged(InstallText::tr("the header of %1 is cut short").arg(name));
    QByteArray header(headerLength, Qt::Uninitialized);
    if (const QString error
        = readAt(header.data(), headerLength, entry.headerOffset, shown, arrival);
        !error.isEmpty())
        return error;
    const auto *local = reinterpret_cast<const uchar *>(header.constData());
    if (qFromLittleEndian<quint32>(local) != localSignature
        || qFromLittleEndian<quint16>(local + 26) != entry.name.size()
        || header.mid(localHeaderSize) != entry.name
        || qFromLittleEndian<quint16>(local + 8) != entry.method)
        return UnpackRules::damaged(
            InstallText::tr("the local header of %1 differs from its listing").arg(name));
    if (qFromLittleEndian<quint16>(local + 6) & encryptedFlags)
        return InstallText::tr("The archive contains an encrypted entry: %1").arg(name);
    *data = entry.headerOffset + headerLength + qFromLittleEndian<quint16>(local + 28);
    if (*data + entry.compressedSize > entry.spanEnd)
        return UnpackRules::damaged(InstallText::tr("%1 runs into the next entry").arg(name));
    return {};
}

// A new file at `relative`, below folders made as needed, never over anything that is there.
QString UnpackWork::createFile(const QByteArray &relative, quint32 mode, Descriptor *file)
{
    const int slash = relative.lastIndexOf('/');
    Descriptor parent;
    if (const QString error = folder(slash < 0 ? QByteArray() : relative.left(slash), &parent);
        !error.isEmpty())
        return error;
    const QByteArray leaf = relative.mid(slash + 1);
    Descriptor created(::openat(parent.isValid() ? parent.get() : m_root.get(), leaf.constData(),
                                O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!created.isValid())
        return UnpackRules::systemError(InstallText::tr("Cannot create"), relative);
    // Only the owner's execute bit decides; set-id, sticky and group or world write
    // permissions from the archive are never carried over.
    if (::fchmod(created.get(), (mode & 0111) ? 0755 : 0644) != 0)
        return UnpackRules::systemError(InstallText::tr("Cannot set the mode of"), relative);
    *file = std::move(created);
    return {};
}

QString UnpackWork::copyStored(const ZipCatalog::Entry &entry, qint64 data, int file,
                               const QByteArray &shown, const Arrival &arrival, quint32 *crc)
{
    if (entry.compressedSize != entry.size) {
        return (entry.compressedSize > entry.size
                    ? InstallText::tr("The archive is damaged: %1 is larger than it says")
                    : InstallText::tr("The archive is damaged: %1 is shorter than it says"))
            .arg(QFile::decodeName(shown));
    }
    const std::unique_ptr<char[]> buffer(new char[outputBlockSize]);
    uLong sum = crc32_z(0, nullptr, 0);
    qint64 pushed = 0;
    // Bounded: every round copies a block or fails.
    for (qint64 done = 0; done < entry.size;) {
        if (stopped())
            return cancelled();
        const qint64 length = std::min(outputBlockSize, entry.size - done);
        if (QString error = readAt(buffer.get(), length, data + done, shown, arrival);
            !error.isEmpty())
            return error;
        if (QString error = writeOut(file, buffer.get(), length, shown); !error.isEmpty())
            return error;
        sum = crc32_z(sum, reinterpret_cast<const Bytef *>(buffer.get()), size_t(length));
        done += length;
        if (done - pushed >= writebackPiece)
            writeBack(file, done, &pushed);
    }
    *crc = quint32(sum);
    return {};
}

QString UnpackWork::inflateDeflated(const ZipCatalog::Entry &entry, qint64 data, int file,
                                    const QByteArray &shown, const Arrival &arrival, quint32 *crc)
{
    const QString name = QFile::decodeName(shown);
    Inflation inflation;
    if (inflateInit2(&inflation.stream, -MAX_WBITS) != Z_OK)
        return InstallText::tr("Out of memory");
    inflation.open = true;
    // Bounded: every round either takes in compressed bytes, which are finite, or puts out
    // unpacked ones, which stop one byte past the declared size.
    while (inflation.status != Z_STREAM_END) {
        if (stopped())
            return cancelled();
        if (QString error = inflateRound(inflation, entry, data, file, shown, arrival);
            !error.isEmpty())
            return error;
    }
    if (inflation.stream.avail_in != 0 || inflation.read != entry.compressedSize)
        return UnpackRules::damaged(InstallText::tr("%1 does not end where it says").arg(name));
    if (inflation.written != entry.size)
        return InstallText::tr("The archive is damaged: %1 is shorter than it says").arg(name);
    *crc = quint32(inflation.sum);
    return {};
}

// Takes in the next block of compressed bytes once the stream has used up the last, and
// writes out what inflates from it.
QString UnpackWork::inflateRound(Inflation &inflation, const ZipCatalog::Entry &entry, qint64 data,
                                 int file, const QByteArray &shown, const Arrival &arrival)
{
    const QString name = QFile::decodeName(shown);
    z_stream &stream = inflation.stream;
    if (stream.avail_in == 0) {
        if (inflation.read == entry.compressedSize)
            return InstallText::tr("The archive is damaged: %1 is shorter than it says").arg(name);
        const qint64 length = std::min(inputBlockSize, entry.compressedSize - inflation.read);
        if (QString error
            = readAt(inflation.input.get(), length, data + inflation.read, shown, arrival);
            !error.isEmpty())
            return error;
        inflation.read += length;
        stream.next_in = reinterpret_cast<Bytef *>(inflation.input.get());
        stream.avail_in = uInt(length);
    }
    char *output = inflation.output.get();
    qint64 produced = 0;
    if (QString error = inflateBlock(&stream, output, entry.size - inflation.written, name,
                                     &inflation.status, &produced);
        !error.isEmpty())
        return error;
    if (QString error = writeOut(file, output, produced, shown); !error.isEmpty())
        return error;
    inflation.sum
        = crc32_z(inflation.sum, reinterpret_cast<const Bytef *>(output), size_t(produced));
    inflation.written += produced;
    if (inflation.written - inflation.pushed >= writebackPiece)
        writeBack(file, inflation.written, &inflation.pushed);
    return {};
}

QString UnpackWork::readAt(char *buffer, qint64 length, qint64 offset, const QByteArray &name,
                           const Arrival &arrival) const
{
    if (arrival && !arrival(offset, offset + length))
        return cancelled();
    // Bounded: every round reads at least one byte or fails.
    while (length > 0) {
        const ssize_t done = ::pread(m_archive.get(), buffer, size_t(length), off_t(offset));
        if (done < 0 && errno == EINTR)
            continue;
        if (done < 0)
            return UnpackRules::systemError(InstallText::tr("Cannot read"), name);
        if (done == 0)
            return UnpackRules::damaged(
                InstallText::tr("it ends inside %1").arg(QFile::decodeName(name)));
        buffer += done;
        length -= done;
        offset += done;
    }
    return {};
}

QString UnpackWork::writeOut(int fd, const char *data, qint64 length, const QByteArray &name)
{
    // Counted as written, whatever was declared.
    if (m_bytes.fetch_add(length, std::memory_order_relaxed) + length > m_limits.maximumBytes)
        return InstallText::tr("The archive unpacks to more than %1 bytes")
            .arg(m_limits.maximumBytes);
    // Bounded: every round writes at least one byte or fails.
    while (length > 0) {
        const ssize_t done = ::write(fd, data, size_t(length));
        if (done < 0 && errno == EINTR)
            continue;
        if (done <= 0)
            return UnpackRules::systemError(InstallText::tr("Cannot write"), name);
        data += done;
        length -= done;
    }
    return {};
}

// Only starts the writing: whether it reached the disk is the final sync's to say.
void UnpackWork::writeBack(int fd, qint64 written, qint64 *pushed) const
{
    if (!m_writeback || written <= *pushed)
        return;
    ::sync_file_range(fd, off_t(*pushed), off_t(written - *pushed), SYNC_FILE_RANGE_WRITE);
    *pushed = written;
}

// The descriptor of `relative` (empty: the destination, left invalid), creating what is
// missing. Several workers may make the same folder at once: the one that loses sees EEXIST
// and opens it, never through a link.
QString UnpackWork::folder(const QByteArray &relative, Descriptor *fd)
{
    if (relative.isEmpty())
        return {};
    Descriptor current;
    for (const QByteArray &component : relative.split('/')) {
        const int at = current.isValid() ? current.get() : m_root.get();
        const bool created = ::mkdirat(at, component.constData(), 0755) == 0;
        if (!created && errno != EEXIST)
            return UnpackRules::systemError(InstallText::tr("Cannot create"), relative);
        Descriptor next(
            ::openat(at, component.constData(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!next.isValid())
            return UnpackRules::systemError(InstallText::tr("Cannot open"), relative);
        // mkdir applies the umask; folders are 0755 whatever it is.
        if (created && ::fchmod(next.get(), 0755) != 0)
            return UnpackRules::systemError(InstallText::tr("Cannot set the mode of"), relative);
        current = std::move(next);
    }
    *fd = std::move(current);
    return {};
}

QString UnpackWork::unpackAll(int threads)
{
    // The largest first: the one big executable sets the pace, the small files fill in
    // beside it.
    const QList<ZipCatalog::Entry> &entries = m_catalog.entries();
    QList<qsizetype> order(entries.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(), [&entries](qsizetype a, qsizetype b) {
        return entries[a].compressedSize > entries[b].compressedSize;
    });
    std::atomic<qsizetype> next { 0 };
    const auto work = [&] {
        // Bounded by the entries.
        for (qsizetype i = next++; i < order.size() && !stopped(); i = next++) {
            if (const QString error = unpackEntry(order[i]); !error.isEmpty())
                fail(error);
        }
    };
    QThreadPool pool;
    pool.setMaxThreadCount(std::max(1, threads - 1));
    for (int i = 1; i < threads && i < order.size(); ++i)
        pool.start(work);
    work();
    pool.waitForDone();
    if (stopped())
        fail(cancelled());
    return failure();
}

void UnpackWork::fail(const QString &error)
{
    const QMutexLocker locked(&m_failureLock);
    if (m_failure.isEmpty())
        m_failure = error;
    stop();
}

QString UnpackWork::failure() const
{
    const QMutexLocker locked(&m_failureLock);
    return m_failure;
}

QString UnpackWork::conclude() const
{
    return UnpackRules::checkChrome(m_root.get(), m_topFolder);
}

void UnpackWork::removeTree()
{
    if (!m_root.isValid())
        return;
    UnpackRules::removeContents(m_root.get());
    m_root.reset();
    ::rmdir(m_destination.constData());
}

QString UnpackWork::releaseTree()
{
    if (!m_root.isValid())
        return {};
    m_root.reset();
    return QFile::decodeName(m_destination);
}

#include "install/unpackrules.h"

#include "install/installtext.h"

#include <QFile>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <sys/stat.h>

namespace {

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

// Every component a plain name, and no deeper than the clean-up reaches.
QString checkComponents(const QList<QByteArray> &components, const QString &shown)
{
    if (components.size() > UnpackRules::maximumDepth + 1)
        return InstallText::tr("The archive nests folders too deeply: %1").arg(shown);
    for (const QByteArray &component : components) {
        if (component.isEmpty() || component == "." || component == ".." || component.contains('\\')
            || !isPrintableUtf8(component))
            return InstallText::tr("The archive contains an unsafe path: %1").arg(shown);
    }
    return {};
}

} // namespace

UnpackRules::UnpackRules(const QString &topFolder, const ArchiveUnpacker::Limits &limits)
    : m_top(QFile::encodeName(topFolder))
    , m_limits(limits)
{
}

QString UnpackRules::systemError(const QString &what, const QByteArray &path)
{
    const int error = errno;
    return QStringLiteral("%1 %2: %3").arg(what, QFile::decodeName(path), qt_error_string(error));
}

QString UnpackRules::damaged(const QString &detail)
{
    return InstallText::tr("The archive is damaged: %1").arg(detail);
}

QString UnpackRules::zip64Refused()
{
    return InstallText::tr("The archive is in the ZIP64 format, which this reader does not take");
}

QString UnpackRules::check(const QByteArray &name, Type type, bool encrypted, qint64 size,
                           Checked *checked)
{
    if (++m_entries > m_limits.maximumEntries)
        return InstallText::tr("The archive has more than %1 entries").arg(m_limits.maximumEntries);
    if (name.isEmpty())
        return InstallText::tr("The archive contains an entry without a usable name");
    QByteArray path(name);
    const QString shown = QFile::decodeName(path);

    if (type == Type::Other)
        return InstallText::tr("The archive contains a link or special file: %1").arg(shown);
    if (encrypted)
        return InstallText::tr("The archive contains an encrypted entry: %1").arg(shown);

    checked->directory = type == Type::Directory;
    if (checked->directory && path.endsWith('/'))
        path.chop(1);
    const QList<QByteArray> components = path.split('/');
    if (const QString error = checkComponents(components, shown); !error.isEmpty())
        return error;
    if (components.first() != m_top || (components.size() == 1 && !checked->directory))
        return InstallText::tr("The archive contains an entry outside %1/")
            .arg(QFile::decodeName(m_top));

    checked->topFolder = components.size() == 1;
    checked->relative = path.mid(m_top.size() + 1);
    if (m_seen.contains(path))
        return InstallText::tr("The archive lists %1 twice").arg(shown);
    m_seen.insert(path);

    if (!checked->directory && size != -1)
        return declare(size, shown);
    return {};
}

QString UnpackRules::declare(qint64 size, const QString &shown)
{
    if (size < 0)
        return InstallText::tr("The archive is damaged: %1 has no valid size").arg(shown);
    if (size > m_limits.maximumBytes - m_declared)
        return tooLarge();
    m_declared += size;
    return {};
}

QString UnpackRules::tooLarge() const
{
    return InstallText::tr("The archive unpacks to more than %1 bytes").arg(m_limits.maximumBytes);
}

void UnpackRules::removeContents(int directory, int depth)
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

QString UnpackRules::checkChrome(int root, const QString &topFolder)
{
    struct stat chrome;
    if (::fstatat(root, "chrome", &chrome, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(chrome.st_mode)
        || !(chrome.st_mode & S_IXUSR))
        return InstallText::tr("The archive has no executable %1/chrome").arg(topFolder);
    return {};
}

#include "install/archivelibrary.h"

#include "install/installtext.h"

#include <QLibrary>

namespace {

// The library's ABI version (libarchive.so.13) since its 3.0 release.
constexpr int abiVersion = 13;

template<typename Function> bool resolve(QLibrary &library, const char *symbol, Function *function)
{
    *function = reinterpret_cast<Function>(library.resolve(symbol));
    return *function != nullptr;
}

} // namespace

const ArchiveLibrary *ArchiveLibrary::instance(QString *error)
{
    static const ArchiveLibrary system(QStringLiteral("archive"), abiVersion);
    if (error)
        *error = system.error();
    return system.isLoaded() ? &system : nullptr;
}

ArchiveLibrary::ArchiveLibrary(const QString &name, int version)
{
    // Never unloaded: its functions stay valid for the program's life.
    QLibrary library(name, version);
    if (!library.load()) {
        m_error = InstallText::tr("Cannot unpack this archive: the library libarchive is "
                                  "missing (%1)")
                      .arg(library.errorString());
        return;
    }
    const bool complete = resolve(library, "archive_read_new", &readNew)
        && resolve(library, "archive_read_free", &readFree)
        && resolve(library, "archive_read_support_format_zip_seekable", &supportZipSeekable)
        && resolve(library, "archive_read_open_fd", &openFd)
        && resolve(library, "archive_read_next_header", &nextHeader)
        && resolve(library, "archive_read_data_block", &dataBlock)
        && resolve(library, "archive_error_string", &errorString)
        && resolve(library, "archive_entry_pathname", &entryPathname)
        && resolve(library, "archive_entry_filetype", &entryFiletype)
        && resolve(library, "archive_entry_hardlink", &entryHardlink)
        && resolve(library, "archive_entry_is_encrypted", &entryIsEncrypted)
        && resolve(library, "archive_entry_size_is_set", &entrySizeIsSet)
        && resolve(library, "archive_entry_size", &entrySize)
        && resolve(library, "archive_entry_perm", &entryPerm);
    if (!complete)
        m_error = InstallText::tr("Cannot unpack this archive: the library libarchive lacks a "
                                  "function (%1)")
                      .arg(library.errorString());
}

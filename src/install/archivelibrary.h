#pragma once

#include <QString>

#include <archive.h>
#include <archive_entry.h>

// libarchive, loaded at its first use rather than with the program: only an archive that the
// zip catalog does not take (ZIP64) needs it, and a program waiting in the tray need not map
// it and the libraries it pulls in.
class ArchiveLibrary
{
public:
    // The system's libarchive, loaded once, for every thread; null when it cannot be, with
    // *error saying why.
    static const ArchiveLibrary *instance(QString *error = nullptr);

    // A library by its base name and major version, as the system names it.
    ArchiveLibrary(const QString &name, int version);

    bool isLoaded() const { return m_error.isEmpty(); }
    // Why the library or one of its functions could not be had; empty when loaded.
    QString error() const { return m_error; }

    decltype(&archive_read_new) readNew = nullptr;
    decltype(&archive_read_free) readFree = nullptr;
    decltype(&archive_read_support_format_zip_seekable) supportZipSeekable = nullptr;
    decltype(&archive_read_open_fd) openFd = nullptr;
    decltype(&archive_read_next_header) nextHeader = nullptr;
    decltype(&archive_read_data_block) dataBlock = nullptr;
    decltype(&archive_error_string) errorString = nullptr;
    decltype(&archive_entry_pathname) entryPathname = nullptr;
    decltype(&archive_entry_filetype) entryFiletype = nullptr;
    decltype(&archive_entry_hardlink) entryHardlink = nullptr;
    decltype(&archive_entry_is_encrypted) entryIsEncrypted = nullptr;
    decltype(&archive_entry_size_is_set) entrySizeIsSet = nullptr;
    decltype(&archive_entry_size) entrySize = nullptr;
    decltype(&archive_entry_perm) entryPerm = nullptr;

private:
    QString m_error;
};

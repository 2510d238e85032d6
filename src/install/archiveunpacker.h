#pragma once

#include <QString>

#include <atomic>

// Unpacks a downloaded build archive. Runs on a worker thread: it touches no QObject and
// keeps no state between calls. Everything it refuses, it refuses whole: on any failure the
// destination is removed again, so a half-unpacked tree never outlives the call.
namespace ArchiveUnpacker {

struct Limits
{
    qint64 maximumEntries = 20000;
    qint64 maximumBytes = qint64(4) * 1024 * 1024 * 1024;
};

struct Result
{
    bool ok = false;
    // A short cause for the log and the user, empty on success.
    QString error;
    qint64 entries = 0;
    qint64 bytes = 0;
};

// Unpacks the contents of the archive's single top folder `topFolder` (e.g. "chrome-linux")
// into `destination`, which must not exist yet (its parent must). Refuses: entries outside
// topFolder, anything but regular files and directories, more than the limits allow
// (counted and declared), CRC and format errors, and a tree without a regular, executable
// `chrome` at its top. Modes are masked to 0755/0644. `cancel`, when set, stops the work
// between blocks and counts as a failure.
Result unpack(const QString &archive, const QString &destination, const QString &topFolder,
              const Limits &limits = Limits(), const std::atomic<bool> *cancel = nullptr);

} // namespace ArchiveUnpacker

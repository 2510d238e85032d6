#pragma once

#include <QByteArray>
#include <QString>

// Shell scripts that stand in for the Chromium installer. Each run appends one line to the
// record file named by the environment variable TARROWIN_INSTALLER_RECORD: the script's own
// path and its argument count.
namespace FakeInstaller {

QByteArray exitingWith(int code);
QByteArray crashing();
// Writes `mebibytes` MiB to standard output and as much to standard error, then exits 0.
QByteArray chattering(int mebibytes);
// Waits until the file named by TARROWIN_INSTALLER_RELEASE exists, then exits with code.
QByteArray waitingForRelease(int code);
// Lets every waitingForRelease installer go on; false when the file could not be made.
bool release();

// Sets both environment variables to files in dir; returns the record file's path.
QString prepare(const QString &dir);
// The record's lines (empty when the installer never ran).
QStringList runs(const QString &recordFile);

} // namespace FakeInstaller

#pragma once

#include <QByteArray>

// The maker's version file names the newest version of the program as "M.m.p", one digit
// each. Only the characters at positions 0, 2 and 4 are read, each as one decimal digit (a
// non-digit or a missing character counts as 0), and the text ends at the first zero byte.
namespace VersionFile {

// Largest body worth reading; anything longer is not a version file.
constexpr qint64 maximumSize = 64;

bool isNewer(const QByteArray &remote, const QByteArray &own);

} // namespace VersionFile

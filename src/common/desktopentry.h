#pragma once

#include <QString>

// Writing and reading freedesktop desktop entries, shared by the autostart entry and the browser's
// menu entry.
namespace DesktopEntry {

// A program path as the start of an Exec value: quoted, with " ` $ and \ escaped inside the
// quotes, backslashes escaped again for the entry as a whole, % doubled, and line breaks
// escaped so that a name can never start a key of its own.
QString quotedProgram(const QString &programPath);

// A value as a desktop entry string, and back: only the key-file layer's escapes apply.
QString escapedValue(const QString &value);
QString unescapedValue(const QString &value);

// Whether the regular file at path already holds exactly these bytes, so that writing them
// again (a rename and a sync every start) can be skipped. A link is never taken as the file.
bool holds(const QString &path, const QByteArray &bytes);

} // namespace DesktopEntry

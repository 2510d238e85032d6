#pragma once

#include <QString>

// Who the program is to the desktop and to its maker: one place for the application id (the
// desktop entry's and icons' name) and the program's own version, which CMake hands in.
namespace AppIdentity {

inline QString id()
{
    return QStringLiteral("example.quillmarsh.Tarrowin");
}

inline QString version()
{
    return QStringLiteral(TARROWIN_VERSION);
}

} // namespace AppIdentity

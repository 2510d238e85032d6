#include "tray/versionfile.h"

#include <array>

namespace {

std::array<int, 3> components(const QByteArray &text)
{
    const qsizetype end = text.indexOf('\0');
    const QByteArray visible = end < 0 ? text : text.left(end);
    std::array<int, 3> numbers {};
    for (int i = 0; i < 3; ++i) {
        const char c = visible.size() > 2 * i ? visible.at(2 * i) : '\0';
        numbers[i] = (c >= '0' && c <= '9') ? c - '0' : 0;
    }
    return numbers;
}

} // namespace

bool VersionFile::isNewer(const QByteArray &remote, const QByteArray &own)
{
    return components(remote) > components(own);
}

#pragma once

#include "common/descriptortree.h"

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <sys/stat.h>

// The stores of a browser profile that snapshots copy and restores put back: those Chromium's
// own snapshots keep.
namespace ProfileStores {

// Of the user data folder.
inline const char *const top[] = { "Local State", "Last Version" };
// Of each profile folder in it.
inline const char *const perProfile[]
    = { "Preferences", "Secure Preferences", "History",  "Favicons", "Top Sites", "Bookmarks",
        "Sessions",    "Login Data",         "Web Data", "Cookies",  "Network" };
inline const char network[] = "Network";
// Of Network/ only the cookies are a store; the rest is the network service's cache.
inline const char networkCookies[] = "Cookies";

// Deep enough for every store folder Chromium keeps; a deeper tree is no store of ours.
inline constexpr int depthLimit = 4;

// Whether a folder, opened without following a link, is a browser profile: it has a real
// Preferences file.
inline bool isProfile(int dir)
{
    struct stat status;
    return ::fstatat(dir, "Preferences", &status, AT_SYMLINK_NOFOLLOW) == 0
        && S_ISREG(status.st_mode);
}

} // namespace ProfileStores
#endif

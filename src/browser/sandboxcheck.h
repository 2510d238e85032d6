#pragma once

#include <QString>

// Whether a downloaded Chromium will be able to sandbox itself. It needs unprivileged user
// namespaces (or a root-owned set-uid helper, which an unpacked archive never has), and some
// distributions block those for programs they do not know.
namespace SandboxCheck {

// What blocks them; the values are what the view's elements pass on.
enum class Restriction { None = 0, AppArmor = 1, UsernsClone = 2, MaxUserNamespaces = 3 };

// The kernel's own switches come first: an AppArmor profile cannot lift them.
Restriction restriction(const QString &procSysKernel = QStringLiteral("/proc/sys/kernel"),
                        const QString &procSysUser = QStringLiteral("/proc/sys/user"));

// Reads <procSysKernel>/apparmor_restrict_unprivileged_userns,
// <procSysKernel>/unprivileged_userns_clone and <procSysUser>/max_user_namespaces; true when
// any of them blocks user namespaces. A missing file blocks nothing.
bool userNamespacesBlocked(const QString &procSysKernel = QStringLiteral("/proc/sys/kernel"),
                           const QString &procSysUser = QStringLiteral("/proc/sys/user"));

} // namespace SandboxCheck

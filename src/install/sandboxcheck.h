#pragma once

#include <QString>

// Whether a downloaded Chromium will be able to sandbox itself. It needs unprivileged user
// namespaces (or a root-owned set-uid helper, which an unpacked archive never has), and some
// distributions block those for programs they do not know.
namespace SandboxCheck {

// Reads <procSysKernel>/apparmor_restrict_unprivileged_userns and
// <procSysKernel>/unprivileged_userns_clone; true when either blocks user namespaces.
bool userNamespacesBlocked(const QString &procSysKernel = QStringLiteral("/proc/sys/kernel"));

} // namespace SandboxCheck

#include "browser/sandboxcheck.h"

#include <QFile>

namespace {

// The trimmed contents of a one-line kernel setting; null when it cannot be read.
QByteArray setting(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    // These files hold one short number; a bounded read also copes with odd files.
    return file.read(64).trimmed();
}

} // namespace

SandboxCheck::Restriction SandboxCheck::restriction(const QString &procSysKernel,
                                                    const QString &procSysUser)
{
    if (setting(procSysUser + QStringLiteral("/max_user_namespaces")) == "0")
        return Restriction::MaxUserNamespaces;
    // Debian's older switch.
    if (setting(procSysKernel + QStringLiteral("/unprivileged_userns_clone")) == "0")
        return Restriction::UsernsClone;
    // Ubuntu: user namespaces only for programs an AppArmor profile allows, and an unpacked
    // build has none until SandboxProfile names it.
    if (setting(procSysKernel + QStringLiteral("/apparmor_restrict_unprivileged_userns")) == "1")
        return Restriction::AppArmor;
    return Restriction::None;
}

bool SandboxCheck::userNamespacesBlocked(const QString &procSysKernel, const QString &procSysUser)
{
    return restriction(procSysKernel, procSysUser) != Restriction::None;
}

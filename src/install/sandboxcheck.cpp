#include "install/sandboxcheck.h"

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

bool SandboxCheck::userNamespacesBlocked(const QString &procSysKernel, const QString &procSysUser)
{
    // Ubuntu: user namespaces only for programs an AppArmor profile allows, and an unpacked
    // build has none.
    if (setting(procSysKernel + QStringLiteral("/apparmor_restrict_unprivileged_userns")) == "1")
        return true;
    // Debian's older switch.
    if (setting(procSysKernel + QStringLiteral("/unprivileged_userns_clone")) == "0")
        return true;
    return setting(procSysUser + QStringLiteral("/max_user_namespaces")) == "0";
}

#include "browser/sandboxguard.h"

#include "browser/sandboxcheck.h"
#include "browser/sandboxpermission.h"
#include "browser/sandboxprofile.h"

SandboxGuard::SandboxGuard(QObject *parent)
    : QObject(parent)
    , m_permission(new SandboxPermission(this))
{
    connect(m_permission, &SandboxPermission::finished, this, &SandboxGuard::allowed);
}

void SandboxGuard::setBuild(int build)
{
    if (build == m_build)
        return;
    m_build = build;
    emit buildChanged(build);
    // Checked once out of the caller's hands: at the start, whoever listens is connected by
    // then, and construction starts nothing.
    if (build != -1 && !m_checkQueued) {
        m_checkQueued = true;
        QMetaObject::invokeMethod(this, &SandboxGuard::check, Qt::QueuedConnection);
    }
}

void SandboxGuard::check()
{
    m_checkQueued = false;
    if (m_build == -1)
        return;
    const SandboxCheck::Restriction restriction = SandboxCheck::restriction();
    // AppArmor's restriction is lifted for our builds by the profile the helper wrote.
    const bool lifted = restriction == SandboxCheck::Restriction::AppArmor
        && SandboxProfile::coversOwnBuilds(m_root.path());
    if (restriction != SandboxCheck::Restriction::None && !lifted)
        emit blocked(int(restriction));
}

void SandboxGuard::allow()
{
    m_permission->allow(m_root.browserPath());
}

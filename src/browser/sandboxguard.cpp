#include "browser/sandboxguard.h"

#include "browser/sandboxcheck.h"
#include "browser/sandboxpermission.h"
#include "browser/sandboxprofile.h"

#include <QFileInfo>

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
    if (build != -1)
        queueCheck();
}

void SandboxGuard::setStepFolder(const QString &folder)
{
    if (folder == m_stepFolder)
        return;
    m_stepFolder = folder;
    emit stepFolderChanged(folder);
    if (!folder.isEmpty())
        queueCheck();
}

void SandboxGuard::queueCheck()
{
    // Checked once out of the caller's hands: at the start, whoever listens is connected by
    // then, and construction starts nothing.
    if (!m_checkQueued) {
        m_checkQueued = true;
        QMetaObject::invokeMethod(this, &SandboxGuard::check, Qt::QueuedConnection);
    }
}

void SandboxGuard::check()
{
    m_checkQueued = false;
    if (m_build == -1 && m_stepFolder.isEmpty())
        return;
    const SandboxCheck::Restriction restriction = SandboxCheck::restriction();
    // AppArmor's restriction is lifted for our builds by the profile the helper wrote.
    const bool lifted = restriction == SandboxCheck::Restriction::AppArmor
        && (m_build == -1 || SandboxProfile::coversOwnBuilds(m_root.path()))
        && (m_stepFolder.isEmpty() || stepCovered());
    if (restriction != SandboxCheck::Restriction::None && !lifted)
        emit blocked(int(restriction));
}

bool SandboxGuard::stepCovered() const
{
    const QString browser = m_stepFolder + QStringLiteral("/chrome");
    QString root;
    SandboxProfile::Folder folder = SandboxProfile::Folder::Versions;
    if (!SandboxProfile::locate(browser, &root, &folder))
        // A build not unpacked yet starts nothing; any other the profile cannot name.
        return !QFileInfo::exists(browser);
    return SandboxProfile::coversOwnBuilds(root, folder);
}

void SandboxGuard::allow()
{
    // The helper writes one profile for both folders; it is handed the step's browser while
    // the profile lacks that folder, so that the check afterwards is of what was asked for.
    const bool step = !m_stepFolder.isEmpty() && !stepCovered();
    m_permission->allow(step ? m_stepFolder + QStringLiteral("/chrome") : m_root.browserPath());
}

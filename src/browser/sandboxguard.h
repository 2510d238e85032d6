#pragma once

#include "install/installroot.h"

#include <QObject>

class SandboxPermission;

// Tells the view when the installed builds will not be able to sandbox themselves on this
// system, so that the way to allow it is offered while the restriction holds, and asks for
// the permission when told to.
class SandboxGuard : public QObject
{
    Q_OBJECT
    // The installed build; the restriction is checked whenever this names one.
    Q_PROPERTY(int build READ build WRITE setBuild NOTIFY buildChanged)

public:
    explicit SandboxGuard(QObject *parent = nullptr);

    int build() const { return m_build; }
    void setBuild(int build);

    // Asks for the password to let the installed builds sandbox themselves, where AppArmor
    // keeps them from it.
    Q_INVOKABLE void allow();

signals:
    void buildChanged(int build);
    // A SandboxCheck::Restriction keeps the builds from sandboxing themselves.
    void blocked(int restriction);
    // What came of allow(): whether the builds may sandbox themselves now.
    void allowed(bool ok, const QString &message);

private:
    void check();

    InstallRoot m_root;
    SandboxPermission *m_permission;
    int m_build = -1;
    bool m_checkQueued = false;
};

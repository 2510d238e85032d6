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
    // A bisect step's build folder, <install root>/bisect-cache/<N>, or empty; checked too
    // whenever this names one, as a profile written before bisects does not cover it.
    Q_PROPERTY(QString stepFolder READ stepFolder WRITE setStepFolder NOTIFY stepFolderChanged)

public:
    explicit SandboxGuard(QObject *parent = nullptr);

    int build() const { return m_build; }
    void setBuild(int build);
    QString stepFolder() const { return m_stepFolder; }
    void setStepFolder(const QString &folder);

    // Asks for the password to let the installed builds and a bisect's sandbox themselves,
    // where AppArmor keeps them from it.
    Q_INVOKABLE void allow();

signals:
    void buildChanged(int build);
    void stepFolderChanged(const QString &folder);
    // A SandboxCheck::Restriction keeps the builds from sandboxing themselves.
    void blocked(int restriction);
    // What came of allow(): whether the builds may sandbox themselves now.
    void allowed(bool ok, const QString &message);

private:
    void queueCheck();
    void check();
    // Whether the profile lets the step's build sandbox itself.
    bool stepCovered() const;

    InstallRoot m_root;
    SandboxPermission *m_permission;
    int m_build = -1;
    QString m_stepFolder;
    bool m_checkQueued = false;
};

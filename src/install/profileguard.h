#pragma once

#include "install/installroot.h"

#include <QObject>

// Keeps the browser's profile readable across build switches: when a build of a newer
// milestone comes in, it takes a snapshot of the profile as the older milestone left it (while
// no browser holds it; a relaunch takes it once the browser has quit), and before the view
// goes back to an older milestone it says what to ask and puts that milestone's stores back
// when the person chooses so.
class ProfileGuard : public QObject
{
    Q_OBJECT

public:
    explicit ProfileGuard(QObject *parent = nullptr);
    explicit ProfileGuard(const InstallRoot &root, QObject *parent = nullptr);

    // A snapshot of the profile, when the current build's milestone is newer than the one
    // that last wrote the profile and no browser holds it. True when one was taken.
    static bool protect(const InstallRoot &root, const QString &profile);

    // The question before `build` goes into use: empty when its milestone is not older than
    // the profile's, or either is unknown.
    Q_INVOKABLE QString question(int build) const;
    // The answer that restores the profile for `build`; empty without a snapshot for it.
    Q_INVOKABLE QString restoreLabel(int build) const;
    // Puts the stores of `build`'s milestone back. Empty on success, else why not.
    Q_INVOKABLE QString restore(int build) const;
    // The current build changed.
    Q_INVOKABLE void buildChanged() const;

private:
    InstallRoot m_root;
};

#pragma once

#include "browser/sandboxprofile.h"

#include <QObject>
#include <QProcess>

// Asks, through pkexec and its password prompt, for tarrowin-sandbox-helper to let this
// user's Chromium builds sandbox themselves (SandboxProfile), then checks that the profile is
// in place. One request at a time.
class SandboxPermission : public QObject
{
    Q_OBJECT

public:
    explicit SandboxPermission(QObject *parent = nullptr);

    // Where the installed helper lies: beside the program's libexec directory, or in a
    // build tree beside the program itself. Empty when there is none.
    static QString helperPath();
    // Test seams: the helper to run, and where the profile is looked for afterwards.
    void setHelper(const QString &path) { m_helper = path; }
    void setProfileDirectory(const QString &path) { m_profileDirectory = path; }

    bool isRunning() const { return m_process != nullptr; }
    // browser: <install root>/versions/<build>/chrome, or a bisect's
    // <install root>/bisect-cache/<build>/chrome.
    void allow(const QString &browser);

signals:
    // Whether the builds may sandbox themselves now; message says why not.
    void finished(bool allowed, const QString &message);

private:
    void processFinished(int exitCode, QProcess::ExitStatus status);

    QString m_helper;
    QString m_profileDirectory;
    QString m_root;
    SandboxProfile::Folder m_folder = SandboxProfile::Folder::Versions;
    QProcess *m_process = nullptr;
};

#pragma once

#include <QString>
#include <QStringList>

#include <memory>

class QTemporaryDir;

// The directory unpacked builds live in:
//   versions/<N>/   one unpacked build each, the browser at versions/<N>/chrome
//   current         relative symbolic link to versions/<N>, the build in use
//   previous        relative symbolic link to the build before it, for going back
//   .staging-XXXXXX private directories for downloads and unpacking in progress
// Switching builds replaces a link by rename(2), so a reader sees the old or the new
// build, never none.
class InstallRoot
{
public:
    explicit InstallRoot(const QString &path = defaultPath());

    // AppLocalDataLocation + "/chromium".
    static QString defaultPath();

    QString path() const { return m_path; }
    QString versionPath(int build) const;
    QString currentLink() const;
    QString previousLink() const;
    // <root>/current/chrome: stays valid across switches.
    QString browserPath() const;

    // The builds the links point at; -1 when the link is missing, points elsewhere or does
    // not lead to an executable chrome.
    int currentBuild() const;
    int previousBuild() const;

    // A fresh owner-only directory with an unpredictable name inside the root (created
    // with the root and versions/ when needed); null or invalid when it cannot be made.
    // The root may be a link to a directory the user owns.
    std::unique_ptr<QTemporaryDir> createStagingDir() const;
    // The record a staging directory holds while the part of a broken download in it waits
    // for the next attempt; leftover staging removal spares such a directory.
    static QString resumeRecord() { return QStringLiteral("resume.json"); }

    // Moves the verified tree to versions/<build>, points `previous` at the old current
    // build and `current` at the new one. On failure current and previous are as before.
    // Refuses the build `current` points at. A directory already at versions/<build> is
    // moved aside, not deleted, for removeUnusedVersions() to remove.
    bool activate(int build, const QString &tree, QString *error = nullptr);
    // The same without touching the links: the build is installed beside current.
    bool place(int build, const QString &tree, QString *error = nullptr);
    // Swaps current and previous. False when there is no previous build.
    bool goBack(QString *error = nullptr);
    // Points `previous` at an installed build other than current, so that going back leads
    // to it: any build is made current through the one way back, with its profile question.
    bool setPrevious(int build, QString *error = nullptr);

    // Removes every directory under versions/ but current's, pinned builds and "KeepBuilds"
    // counted from current and previous (KeptVersions), unless a running process's executable
    // lies inside it (a browser whose files vanish crashes). procRoot is where the processes
    // are listed, as <procRoot>/<pid>/exe links. Each is moved aside at once and removed on a
    // pool thread (TreeRemoval).
    void removeUnusedVersions(const QString &procRoot = QStringLiteral("/proc")) const;
    // Removes staging directories that a crashed or killed run left behind, and what its tree
    // removals left, the same way. Call only while holding the root's lock alone (RootLock): a
    // live session's staging must not go.
    void removeLeftoverStaging() const;

private:
    int linkedBuild(const QString &link) const;
    bool moveIn(int build, const QString &tree, bool makeCurrent, QString *error);

    QString m_path;
};

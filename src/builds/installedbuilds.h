#pragma once

#include <QObject>
#include <QString>

class ArchiveInstaller;
class BuildSeries;

// The builds in use: the current one and the one before it, as the install root's links say
// where builds are unpacked (the settings' record where an installer puts them), and what the
// current one said it is. It remembers a build once it installed, keeps one whose record did
// not reach the disk from being fetched again in this run, and brings the browser's launcher
// up to date whenever a build becomes current.
class InstalledBuilds : public QObject
{
    Q_OBJECT

public:
    // series: the downloader's, read at every call; installer: the one that unpacks builds.
    InstalledBuilds(const BuildSeries *series, ArchiveInstaller *installer,
                    QObject *parent = nullptr);

    int current() const { return m_current; }
    // The build `current` replaced; -1 when there is none.
    int previous() const { return m_previous; }
    QString currentVersion() const;
    bool isUnrecorded(int build) const { return build == m_unrecorded; }

    // At the start: the settings' record, then the links where builds are unpacked.
    void read();
    // Reads the links again: a build deleted meanwhile is no longer installed.
    void refresh();
    void refreshPrevious();
    // After going back: current as the links name it now when they were swapped, then previous.
    void wentBack(bool swapped);
    // A build that installed is current from now on and saved as such; the problem when that
    // record did not reach the disk.
    QString remember(int build);

signals:
    void currentChanged(int build);
    void previousChanged(int build);

private:
    bool unpacked() const;

    const BuildSeries *m_series;
    ArchiveInstaller *m_installer;
    int m_current = -1;
    int m_previous = -1;
    int m_unrecorded = -1;
};

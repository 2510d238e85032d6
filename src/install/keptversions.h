#pragma once

#include <QList>
#include <QString>

class InstallRoot;

// The builds unpacked under the root's versions/: which there are, which a running browser
// uses, what each takes on disk, and removing them, one on request or all that the retention
// rules let go.
class KeptVersions
{
public:
    // procRoot: where the processes are listed, as <procRoot>/<pid>/exe links.
    explicit KeptVersions(const InstallRoot &root,
                          const QString &procRoot = QStringLiteral("/proc"));

    // The builds under versions/, ascending: directories named by their number alone.
    QList<int> installed() const;
    bool inUse(int build) const;
    // The blocks the build's files take, links not followed; -1 when it is not there.
    qint64 sizeOnDisk(int build) const;
    static qint64 diskUsage(const QString &path);

    // Removes the build (on a pool thread) and its pin, unless it is current or a running
    // browser uses it; false with *error saying why otherwise.
    bool remove(int build, QString *error = nullptr) const;
    // Removes every build the retention rules do not keep, and whatever else lies in versions/
    // (what a failed switch moved aside), unless a running browser uses it.
    void sweep() const;

private:
    const InstallRoot &m_root;
    QString m_procRoot;
};

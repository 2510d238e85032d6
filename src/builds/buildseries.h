#pragma once

#include <QString>

// Which builds to ask the storage for: the folder of one platform's snapshot series, the
// file each build is published as, and how that file is installed.
class BuildSeries
{
public:
    enum InstallMethod {
        NoMethod, // no series for this platform
        RunInstaller, // run the file; exit code 0 means installed
        UnpackArchive, // unpack the zip into the install root
    };

    BuildSeries() = default;
    BuildSeries(const QString &folder, const QString &artifact, InstallMethod method);

    QString folder() const { return m_folder; }
    QString artifact() const { return m_artifact; }
    InstallMethod method() const { return m_method; }
    bool isValid() const { return m_method != NoMethod; }

    QString lastChangePath() const;
    QString artifactPath(int build) const;
    // The storage's JSON listing of the bucket's objects.
    static QString listingPath();

    // The series for an operating system and processor, as QSysInfo names them.
    static BuildSeries forPlatform(const QString &kernelType, const QString &cpuArchitecture);
    // The running platform's series, unless a test set another.
    static BuildSeries native();
    static void setNative(const BuildSeries &series);

    bool operator==(const BuildSeries &other) const;

private:
    QString m_folder;
    QString m_artifact;
    InstallMethod m_method = NoMethod;
};

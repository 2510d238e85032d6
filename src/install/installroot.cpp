#include "install/installroot.h"

#include <QStandardPaths>
#include <QTemporaryDir>

InstallRoot::InstallRoot(const QString &path)
    : m_path(path)
{
}

QString InstallRoot::defaultPath()
{
    return QStandardPaths::writableLocation(QStandardPaths::AppLocalDataLocation)
        + QStringLiteral("/chromium");
}

QString InstallRoot::versionPath(int build) const
{
    return m_path + QStringLiteral("/versions/") + QString::number(build);
}

QString InstallRoot::currentLink() const { return m_path + QStringLiteral("/current"); }
QString InstallRoot::previousLink() const { return m_path + QStringLiteral("/previous"); }
QString InstallRoot::browserPath() const { return currentLink() + QStringLiteral("/chrome"); }
int InstallRoot::currentBuild() const { return -1; }
int InstallRoot::previousBuild() const { return -1; }

std::unique_ptr<QTemporaryDir> InstallRoot::createStagingDir() const
{
    return std::make_unique<QTemporaryDir>(m_path + QStringLiteral("/.staging-XXXXXX"));
}

bool InstallRoot::activate(int, const QString &, QString *) { return false; }
bool InstallRoot::goBack(QString *) { return false; }
void InstallRoot::removeUnusedVersions(const QString &) const {}
void InstallRoot::removeLeftoverStaging() const {}

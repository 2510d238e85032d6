#include "builds/installedbuilds.h"

#include "browser/browserlauncher.h"
#include "builds/buildseries.h"
#include "install/archiveinstaller.h"
#include "settings/config.h"

#include <QCoreApplication>

InstalledBuilds::InstalledBuilds(const BuildSeries *series, ArchiveInstaller *installer,
                                 QObject *parent)
    : QObject(parent)
    , m_series(series)
    , m_installer(installer)
{
    connect(m_installer, &ArchiveInstaller::madeCurrent, this, [this](int build) {
        const InstallRoot root = m_installer->root();
        BrowserLauncher::install(root, BrowserLauncher::profile(),
                                 root.versionPath(build) + QStringLiteral("/product_logo_48.png"));
    });
}

bool InstalledBuilds::unpacked() const
{
    return m_series->method() == BuildSeries::UnpackArchive;
}

void InstalledBuilds::read()
{
    m_current = Config::get(Config::CurrentBuild).toInt();
    if (unpacked()) {
        // The link is what the user runs: a setting that failed to save must not make us
        // install the same build again, and a build deleted since is installed again.
        m_current = m_installer->root().currentBuild();
        m_previous = m_installer->root().previousBuild();
    }
    emit currentChanged(m_current);
}

QString InstalledBuilds::currentVersion() const
{
    return unpacked() ? m_installer->version(m_current) : QString();
}

void InstalledBuilds::refresh()
{
    if (!unpacked())
        return;
    const int linked = m_installer->root().currentBuild();
    if (linked != m_current) {
        m_current = linked;
        emit currentChanged(linked);
    }
    refreshPrevious();
}

void InstalledBuilds::refreshPrevious()
{
    const int previous = unpacked() ? m_installer->root().previousBuild() : -1;
    if (previous != m_previous) {
        m_previous = previous;
        emit previousChanged(previous);
    }
}

void InstalledBuilds::wentBack(bool swapped)
{
    if (swapped) {
        m_current = m_installer->root().currentBuild();
        emit currentChanged(m_current);
    }
    refreshPrevious();
}

QString InstalledBuilds::remember(int build)
{
    m_current = build;
    // A value that never reached the disk makes the next start download the same build again,
    // so a failure is reported rather than ignored.
    const QString unsaved = Config::save({ { Config::CurrentBuild, build } });
    if (unsaved.isEmpty())
        return QString();
    m_unrecorded = build;
    return QCoreApplication::translate("ChromeDownloader", "Cannot save settings to %1")
        .arg(unsaved);
}

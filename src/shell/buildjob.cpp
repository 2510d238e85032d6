#include "shell/buildjob.h"

#include "builds/buildchoice.h"
#include "builds/chromedownloader.h"
#include "install/archiveinstaller.h"
#include "install/installroot.h"
#include "install/keptversions.h"
#include "settings/buildpins.h"

#include <QTimer>

BuildJob::BuildJob(QObject *parent)
    : QObject(parent)
{
}

void BuildJob::start(Kind kind, const QString &wanted)
{
    if (kind == ListBuilds) {
        QTimer::singleShot(0, this, [this] {
            for (const QString &line : listing(InstallRoot(InstallRoot::defaultPath())))
                emit output(line, false);
            emit finished(0);
        });
        return;
    }
    m_choice = new BuildChoice(BuildSeries::native(), this);
    connect(m_choice, &BuildChoice::chosen, this, &BuildJob::chosen);
    connect(m_choice, &BuildChoice::failed, this, &BuildJob::fail);
    m_choice->resolve(wanted);
}

void BuildJob::chosen(int build, const QString &note)
{
    m_build = build;
    if (!note.isEmpty())
        emit output(note, true);
    const InstallRoot root(InstallRoot::defaultPath());
    // Already there: pinned, so that no clean-up takes it, and nothing fetched again.
    if (KeptVersions(root).installed().contains(build)) {
        const QString unsaved = BuildPins::setPinned(build, true);
        if (!unsaved.isEmpty())
            return fail(tr("Cannot save settings to %1").arg(unsaved));
        emit output(tr("Build %1 is installed").arg(build), false);
        emit finished(0);
        return;
    }
    m_downloader = new ChromeDownloader(this);
    connect(m_downloader, &ChromeDownloader::installed, this, [this](int installed) {
        if (installed != m_build)
            return;
        emit output(tr("Build %1 is installed").arg(installed), false);
        emit finished(0);
    });
    connect(m_downloader, &ChromeDownloader::failed, this,
            [this](int, const QString &error) { fail(error); });
    connect(m_downloader, &ChromeDownloader::notPublished, this,
            [this](int build) { fail(tr("The storage has no archive of build %1").arg(build)); });
    m_downloader->installBeside(build);
}

void BuildJob::fail(const QString &error)
{
    emit output(error, true);
    emit finished(1);
}

QStringList BuildJob::listing(const InstallRoot &root, const QString &procRoot)
{
    const KeptVersions versions(root, procRoot);
    const ArchiveInstaller installer(root);
    const QList<int> pinned = BuildPins::pinned();
    const int current = root.currentBuild();
    QStringList lines;
    for (const int build : versions.installed()) {
        QStringList marks;
        if (build == current)
            marks << QStringLiteral("current");
        if (pinned.contains(build))
            marks << QStringLiteral("pinned");
        if (versions.inUse(build))
            marks << QStringLiteral("running");
        lines << QString::number(build) + QLatin1Char('\t') + installer.version(build)
                + QLatin1Char('\t') + marks.join(QLatin1Char(','));
    }
    return lines;
}

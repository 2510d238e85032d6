#include "builds/chromedownloader.h"

#include "builds/archivesource.h"
#include "builds/pipelinedinstall.h"
#include "builds/publishedfallback.h"
#include "common/updatelog.h"
#include "install/archiveinstaller.h"
#include "install/installerrun.h"

#include <QDir>
#include <QTemporaryDir>

#include <utility>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

// Set once by a benchmark before any download starts.
bool pipeliningEnabled = true;

} // namespace

void ChromeDownloader::setPipelining(bool enabled)
{
    pipeliningEnabled = enabled;
}

bool ChromeDownloader::pipelining()
{
    return pipeliningEnabled;
}

ChromeDownloader::ChromeDownloader(QObject *parent)
    : QObject(parent)
    , m_fetch(new ArchiveFetch(this))
    , m_installer(new InstallerRun(this))
    , m_archiveInstaller(new ArchiveInstaller(InstallRoot(), this))
    , m_fallback(new PublishedFallback(this))
    , m_source(new ArchiveSource(this))
    , m_pipeline(new PipelinedInstall(this))
    , m_builds(new InstalledBuilds(&m_series, m_archiveInstaller, this))
    , m_progress(new DownloadProgress(this))
{
    connectParts();
    connectPipeline();
    connect(m_builds, &InstalledBuilds::currentChanged, this,
            &ChromeDownloader::currentBuildChanged);
    connect(m_builds, &InstalledBuilds::previousChanged, this,
            &ChromeDownloader::previousBuildChanged);
    connect(m_progress, &DownloadProgress::sizeChanged, this,
            &ChromeDownloader::downloadSizeChanged);
    connect(m_progress, &DownloadProgress::currentChanged, this,
            &ChromeDownloader::downloadCurrentChanged);
    connect(m_progress, &DownloadProgress::fractionChanged, this,
            &ChromeDownloader::downloadProgressChanged);
    m_series = BuildSeries::native();
    m_builds->read();
}

void ChromeDownloader::connectParts()
{
    // The attempt is busy from its first request (a mirror's copy from the moment the storage
    // was asked about it); a retry within it changes nothing.
    connect(m_fetch, &ArchiveFetch::requested, this, [this] {
        if (m_status != DownloadingStatus)
            setStatus(DownloadingStatus);
    });
    // Said once an attempt's archive is coming, not for a build the storage turns out not to
    // have, nor again for a retry or the storage's copy after a refused mirror.
    connect(m_fetch, &ArchiveFetch::answered, this, [this] {
        pipelineAnswered();
        if (!std::exchange(m_announced, true))
            emit downloading(m_requestedBuild);
    });
    connect(m_fetch, &ArchiveFetch::progressed, this, &ChromeDownloader::fileDownloadProgress);
    connect(m_fetch, &ArchiveFetch::finished, this, &ChromeDownloader::fileDownloadFinished);
    connect(m_installer, &InstallerRun::finished, this, &ChromeDownloader::processFinished);
    connect(m_fallback, &PublishedFallback::unanswered, this,
            [this](const QString &why) { abandonTransfer(why); });
    connect(m_fallback, &PublishedFallback::notPublished, this, &ChromeDownloader::endUnpublished);
    connect(m_source, &ArchiveSource::ready, this, &ChromeDownloader::startFetch);
    connect(m_source, &ArchiveSource::missing, this, [this] {
        // Whatever a mirror holds under that name, the storage published no such archive.
        archiveNotFound(tr("Download failed: the build storage has no archive of build %1")
                            .arg(m_requestedBuild));
    });
    connect(m_source, &ArchiveSource::verified, this,
            [this](bool matches) { matches ? install() : refuseMirror(); });
    connect(m_source, &ArchiveSource::mirrorOnlyChanged, this,
            &ChromeDownloader::mirrorOnlyChanged);
    connect(m_archiveInstaller, &ArchiveInstaller::finished, this,
            &ChromeDownloader::archiveInstalled);
}

void ChromeDownloader::connectPipeline()
{
    connect(m_fetch, &ArchiveFetch::stored, m_pipeline, &PipelinedInstall::stored);
    connect(m_pipeline, &PipelinedInstall::refused, this, &ChromeDownloader::pipelineRefused);
    connect(m_pipeline, &PipelinedInstall::declined, this, &ChromeDownloader::unpackWhole);
    connect(m_pipeline, &PipelinedInstall::unpacked, this,
            [this](const ArchiveUnpacker::Result &result) {
                const QString archive = m_staging.fileName();
                m_archiveInstaller->installUnpacked(m_requestedBuild, archive,
                                                    m_staging.takeDirectory(), result);
            });
}

void ChromeDownloader::pipelineAnswered()
{
    if (m_series.method() != BuildSeries::UnpackArchive || !pipelining())
        return;
    m_pipeline->answered(m_fetch->answer(),
                         { m_fetch->networkAccessManager(), m_fetch->transferTimeout(),
                           m_staging.descriptor(), m_staging.path() + QStringLiteral("/tree") });
}

void ChromeDownloader::pipelineRefused(const QString &error)
{
    // While a mirror's whole copy is being checked, that check ends the attempt: the archive
    // is then refused whole, in the same words.
    if (!m_fetch->isRunning() && m_status != InstallingStatus)
        return;
    // What the archive holds is refused whatever its remaining bytes are: nothing of it is
    // fetched or kept any more.
    m_fetch->halt();
    finishInstallation(false, ArchiveInstaller::notUnpacked(error));
}

ChromeDownloader::~ChromeDownloader()
{
    // Nobody listens any more.
    blockSignals(true);
    // The installer is let go to finish on its own, with its file.
    if (m_installer->isRunning())
        m_staging.leave();
    // What arrived of an archive is kept for the next start.
    removeDownload(m_fetch->halt());
}

QString ChromeDownloader::installerPath() const
{
    return m_staging.fileName();
}

bool ChromeDownloader::mirrorOnly() const
{
    return m_source->mirrorOnly();
}

void ChromeDownloader::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_fetch->setNetworkAccessManager(manager);
    m_fallback->setNetworkAccessManager(manager);
    m_source->setNetworkAccessManager(manager);
}

void ChromeDownloader::setVerifyTimeout(int milliseconds)
{
    m_archiveInstaller->setVerifyTimeout(milliseconds);
}

void ChromeDownloader::downloadVersion(int version)
{
    start(version, false);
}

void ChromeDownloader::installBeside(int build)
{
    if (m_status == IdleStatus && BuildSeries::native().method() != BuildSeries::UnpackArchive) {
        emit failed(build, tr("Only unpacked builds can be installed beside the current one"));
        return;
    }
    start(build, true);
}

void ChromeDownloader::start(int version, bool beside)
{
    // One build at a time: a second transfer would write into the file of the first, or
    // into the file an installer is running from.
    if (m_status != IdleStatus || m_builds->isUnrecorded(version))
        return;
    m_series = BuildSeries::native();
    if (!m_series.isValid())
        return;
    m_beside = beside;
    m_archiveInstaller->setMakeCurrent(!beside);
    m_requestedBuild = version;
    m_announced = false;
    if (!m_source->begin(version)) {
        startFetch();
        return;
    }
    // What a mirror hands out is judged by what the storage itself says of the archive, asked
    // before any byte of it.
    setStatus(DownloadingStatus);
    m_source->describe(m_series);
}

void ChromeDownloader::startFetch()
{
    const int version = m_requestedBuild;
    QString where;
    std::optional<ArchiveFetch::Request> request
        = m_staging.open(m_series, m_archiveInstaller->root(), version, &where);
    if (!request) {
        const QString error = tr("Cannot write to %1").arg(QDir::toNativeSeparators(where));
        qCWarning(lcUpdate) << error;
        setLastError(error);
        emit failed(version, error);
        if (m_status != IdleStatus)
            setStatus(IdleStatus);
        return;
    }
    // The build the listing named is the upload it described, not one that replaced it since.
    request->generation = m_fallback->generation(version);
    m_source->aim(&*request, m_series, version);
    m_fetch->start(*request);
}

void ChromeDownloader::refuseMirror()
{
    const QString refusal = m_source->refuse(m_requestedBuild);
    qCWarning(lcUpdate).noquote() << refusal;
    setLastError(refusal);
    // Nothing of the mirror's copy is kept, let alone resumed; the storage's own copy of the
    // same upload is fetched instead.
    removeDownload();
    startFetch();
}

void ChromeDownloader::fileDownloadRead()
{
}

void ChromeDownloader::fileDownloadError(int code)
{
    Q_UNUSED(code)
}

void ChromeDownloader::fileDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    m_progress->report(bytesReceived, bytesTotal);
}

void ChromeDownloader::fileDownloadFinished()
{
    const ArchiveFetch::Result &result = m_fetch->result();
    if (result.outcome == ArchiveFetch::Complete)
        qCInfo(lcUpdate) << "Download of build" << m_requestedBuild << "complete";
    // The upload the listing named was replaced: later tries take what is there now, which
    // its own checksum vouches for, rather than failing on the pin until a restart.
    if (result.httpStatus == 412)
        m_fallback->forgetGeneration();
    if (m_source->refuses(result)) {
        refuseMirror();
    } else if (result.outcome == ArchiveFetch::NotFound) {
        archiveNotFound(result.error);
    } else if (result.outcome == ArchiveFetch::Failed) {
        abandonTransfer(result.error, result.partKept);
    } else if (m_source->isVouched()) {
        // The MD5 the storage names is checked of the whole file too: what arrived was judged
        // by the CRC-32C alone, which a mirror can forge.
        m_source->verify(m_staging.fileName(), result.judgedBy.generation);
    } else {
        install();
    }
}

void ChromeDownloader::archiveNotFound(const QString &why)
{
    removeDownload();
    m_fallback->lookFor(m_series, m_requestedBuild, m_builds->current(), why);
}

void ChromeDownloader::endUnpublished(int build, int newest)
{
    setLastError(QString());
    m_source->setMirrorOnly(false);
    setStatus(IdleStatus);
    returnFreedMemory();
    emit notPublished(build, newest);
}

void ChromeDownloader::install()
{
    m_staging.finishWriting();
    setStatus(InstallingStatus);
    if (m_series.method() == BuildSeries::UnpackArchive) {
        // What was unpacked as it arrived is finished now that the archive was vouched for.
        if (!m_pipeline->finish())
            unpackWhole();
        return;
    }
    m_installer->start(m_staging.makeExecutable());
}

void ChromeDownloader::unpackWhole()
{
    const QString archive = m_staging.fileName();
    m_archiveInstaller->install(m_requestedBuild, archive, m_staging.takeDirectory());
}

void ChromeDownloader::processFinished(int exitCode)
{
    Q_UNUSED(exitCode)
    const QString problem = m_installer->problem();
    finishInstallation(problem.isEmpty(), problem);
}

void ChromeDownloader::archiveInstalled(bool succeeded, const QString &error,
                                        const QString &version)
{
    finishInstallation(succeeded, error, version);
    m_builds->refreshPrevious();
}

void ChromeDownloader::finishInstallation(bool succeeded, const QString &error,
                                          const QString &version)
{
    removeDownload();
    QString problem = error;
    if (succeeded && !m_beside)
        problem = m_builds->remember(m_requestedBuild);
    if (!problem.isEmpty())
        qCWarning(lcUpdate).noquote() << "Build" << m_requestedBuild << ":" << problem;
    setLastError(problem);
    // Only an installed build stays said to have been checked against the mirror only.
    if (!succeeded)
        m_source->setMirrorOnly(false);
    setStatus(IdleStatus);
    if (succeeded && m_beside) {
        qCInfo(lcUpdate) << "Build" << m_requestedBuild << "is installed beside the current one";
        emit installed(m_requestedBuild, version);
    } else if (succeeded) {
        qCInfo(lcUpdate) << "Build" << m_builds->current() << "is current";
        emit currentBuildChanged(m_builds->current());
        emit installed(m_builds->current(), version);
    } else {
        emit failed(m_requestedBuild, problem);
    }
    m_progress->clearFraction();
    returnFreedMemory();
}

void ChromeDownloader::returnFreedMemory()
{
    // The view's script heap grows with every status change until its collector runs;
    // collected now, its garbage goes back with the rest.
    emit workEnded();
#ifdef __GLIBC__
    // A transfer and an unpacking leave megabytes of freed buffers in the C library's pools
    // (the worker thread's included), which it keeps for reuse. A program that then waits
    // for hours hands them back to the system instead; both cost a few milliseconds per
    // update.
    malloc_trim(0);
#endif
}

void ChromeDownloader::abandonTransfer(const QString &error, bool keepPart)
{
    removeDownload(keepPart);
    qCWarning(lcUpdate).noquote() << "Build" << m_requestedBuild << ":" << error;
    setLastError(error);
    m_source->setMirrorOnly(false);
    setStatus(IdleStatus);
    emit failed(m_requestedBuild, error);
    returnFreedMemory();
}

bool ChromeDownloader::pause()
{
    if (!m_fetch->isRunning())
        return false;
    const bool kept = m_fetch->halt();
    qCInfo(lcUpdate) << "Download of build" << m_requestedBuild << "paused"
                     << (kept ? "with its part kept" : "with nothing to keep");
    removeDownload(kept);
    setStatus(IdleStatus);
    returnFreedMemory();
    return true;
}

bool ChromeDownloader::goBack()
{
    if (m_status != IdleStatus || m_builds->previous() == -1)
        return false;
    QString error;
    const bool wentBack = m_archiveInstaller->goBack(&error);
    setLastError(error);
    m_builds->wentBack(wentBack);
    return wentBack;
}

void ChromeDownloader::refreshInstalledBuild()
{
    if (m_status == IdleStatus)
        m_builds->refresh();
}

void ChromeDownloader::removeDownload(bool keepPart)
{
    // Whatever was unpacked of a download that ends goes before its directory does: a kept
    // part is unpacked again by the attempt that resumes it.
    m_pipeline->cancel();
    m_staging.close(keepPart);
}

void ChromeDownloader::setStatus(Status status)
{
    m_status = status;
    emit currentStatusChanged(status);
}

void ChromeDownloader::setLastError(const QString &error)
{
    if (error == m_lastError)
        return;
    m_lastError = error;
    emit lastErrorChanged(error);
}

#include "builds/chromedownloader.h"

#include "builds/buildnumber.h"
#include "builds/buildstorage.h"
#include "common/updatelog.h"
#include "install/archiveinstaller.h"
#include "install/sandboxcheck.h"
#include "install/sandboxpermission.h"
#include "install/sandboxprofile.h"
#include "settings/config.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QStorageInfo>
#include <QTemporaryDir>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

constexpr int defaultTrickleWindow = 5 * 60 * 1000;

int httpStatus(const QNetworkReply *reply)
{
    return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
}

// A value that never reached the disk makes the next start download the same build again,
// so a failure is reported rather than ignored.
QString saveSettings(const QList<QPair<Config::Key, QVariant>> &values)
{
    const QString unsaved = Config::save(values);
    return unsaved.isEmpty() ? QString()
                             : ChromeDownloader::tr("Cannot save settings to %1").arg(unsaved);
}

} // namespace

ChromeDownloader::ChromeDownloader(QObject *parent)
    : QObject(parent)
    , m_archiveInstaller(new ArchiveInstaller(InstallRoot(), this))
    , m_sandboxPermission(new SandboxPermission(this))
{
    m_series = BuildSeries::native();
    m_currentBuild = Config::get(Config::CurrentBuild).toInt();
    if (m_series.method() == BuildSeries::UnpackArchive) {
        // The link is what the user runs: a setting that failed to save must not make us
        // install the same build again, and a build deleted since is installed again.
        m_currentBuild = m_archiveInstaller->root().currentBuild();
        m_previousBuild = m_archiveInstaller->root().previousBuild();
    }
    connect(m_archiveInstaller, &ArchiveInstaller::finished, this,
            &ChromeDownloader::archiveInstalled);
    connect(m_sandboxPermission, &SandboxPermission::finished, this,
            &ChromeDownloader::sandboxAllowed);
    // An installed build that cannot sandbox itself is told of from the start, so that the
    // way to allow it is offered while the restriction holds.
    if (m_currentBuild != -1 && m_series.method() == BuildSeries::UnpackArchive)
        QMetaObject::invokeMethod(this, &ChromeDownloader::checkSandbox, Qt::QueuedConnection);
    m_trickleWindow.setInterval(defaultTrickleWindow);
    connect(&m_trickleWindow, &QTimer::timeout, this, &ChromeDownloader::checkTrickle);
    emit currentBuildChanged(m_currentBuild);
}

ChromeDownloader::~ChromeDownloader()
{
    // Nobody listens any more.
    blockSignals(true);
    if (m_installerProcess && m_installerProcess->state() != QProcess::NotRunning) {
        // Deleting a QProcess kills its program, and an installer stopped half-way can leave
        // the browser broken: it is let go to finish on its own, with its file. Its outcome is
        // unknown, so the build is not recorded; the next start's check decides again.
        qCWarning(lcUpdate) << "Leaving the installer of build" << m_requestedBuild
                            << "to finish on its own";
        m_installerProcess->disconnect(this);
        m_installerProcess->setParent(nullptr);
        // Kept reachable, never deleted: this is the program's end, and the installer goes on.
        static QList<QProcess *> *const orphans = new QList<QProcess *>;
        orphans->append(m_installerProcess);
        m_installerProcess = nullptr;
        if (m_downloadDir)
            m_downloadDir->setAutoRemove(false);
        delete m_downloadFile;
        m_downloadFile = nullptr;
        m_downloadDir.reset();
    }
    if (m_reply) {
        QNetworkReply *reply = m_reply;
        releaseReply();
        reply->abort();
    }
    removeDownload();
}

QString ChromeDownloader::installerPath() const
{
    return m_downloadFile ? m_downloadFile->fileName() : QString();
}

void ChromeDownloader::setVerifyTimeout(int milliseconds)
{
    m_archiveInstaller->setVerifyTimeout(milliseconds);
}

void ChromeDownloader::downloadVersion(int version)
{
    // One build at a time: a second transfer would write into the file of the first, or
    // into the file an installer is running from.
    if (m_status != IdleStatus || version == m_unrecordedBuild)
        return;
    m_series = BuildSeries::native();
    if (!m_series.isValid())
        return;
    m_requestedBuild = version;
    if (!prepareDownload(version))
        return;

    m_redirects = 0;
    // By the build's own address, which never changes: a cache on the way may keep it.
    startDownload(BuildStorage::url(m_series.artifactPath(version)));
}

bool ChromeDownloader::prepareDownload(int version)
{
    // A fresh directory with an unpredictable name, readable by us alone, and a file in it
    // that must not exist yet: nothing anyone planted is ever opened, run or unpacked. An
    // archive goes next to where it is unpacked, so the final rename is atomic and /tmp (in
    // memory on many systems) is spared a build's worth of data.
    std::unique_ptr<QTemporaryDir> directory;
    QString where;
    QString name;
    if (m_series.method() == BuildSeries::UnpackArchive) {
        where = m_archiveInstaller->root().path();
        directory = m_archiveInstaller->root().createStagingDir();
        name = m_series.artifact();
    } else {
        // QDir::tempPath() is empty when the configured directory is unusable, and a
        // relative template would land wherever we happen to be.
        where = QDir::tempPath();
        if (!where.isEmpty() && QFileInfo(where).isDir())
            directory = std::make_unique<QTemporaryDir>(where + QStringLiteral("/tarrowin-XXXXXX"));
        name = QStringLiteral("chromium_installer_%1.exe").arg(version);
    }
    std::unique_ptr<QFile> file;
    if (directory && directory->isValid()) {
        file = std::make_unique<QFile>(directory->filePath(name));
        if (!file->open(QIODevice::WriteOnly | QIODevice::NewOnly))
            file.reset();
    }
    if (!file) {
        const QString error = tr("Cannot write to %1").arg(QDir::toNativeSeparators(where));
        qCWarning(lcUpdate) << error;
        setLastError(error);
        emit failed(version, error);
        return false;
    }
    file->setParent(this);
    m_downloadDir = std::move(directory);
    m_downloadFile = file.release();
    return true;
}

void ChromeDownloader::startDownload(const QUrl &address)
{
    // Each hop starts the file over.
    m_downloadFile->resize(0);
    m_downloadFile->seek(0);
    m_address = address;
    m_transferError.clear();
    m_hash.reset();
    m_received = 0;
    m_receivedAtWindowStart = 0;
    m_trickleWindow.start();
    setStatus(DownloadingStatus);

    qCInfo(lcUpdate) << "GET" << address.toString();
    QNetworkRequest request(address);
    // Redirects are followed here, where hops are counted and downgrades refused.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(m_transferTimeout);
    if (!m_networkManager)
        m_networkManager = new QNetworkAccessManager(this);
    m_reply = m_networkManager->get(request);
    m_reply->setReadBufferSize(readBufferSize);
    connect(m_reply, &QNetworkReply::finished, this, &ChromeDownloader::fileDownloadFinished);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &ChromeDownloader::fileDownloadError);
    connect(m_reply, &QNetworkReply::downloadProgress, this,
            &ChromeDownloader::fileDownloadProgress);
    connect(m_reply, &QNetworkReply::readyRead, this, &ChromeDownloader::fileDownloadRead);
    connect(m_reply, &QNetworkReply::metaDataChanged, this, &ChromeDownloader::checkAnnouncedSize);
}

void ChromeDownloader::checkAnnouncedSize()
{
    if (!m_reply || !m_transferError.isEmpty())
        return;
    const int status = httpStatus(m_reply);
    const QVariant announced = m_reply->header(QNetworkRequest::ContentLengthHeader);
    if (status < 200 || status > 299 || !announced.isValid())
        return;
    const qint64 size = announced.toLongLong();
    if (size > maximumDownloadSize) {
        failTransfer(tr("Download failed: the file is larger than 2 GiB"));
        return;
    }
    const QString directory = QFileInfo(m_downloadFile->fileName()).absolutePath();
    const QStorageInfo storage(directory);
    if (storage.isValid() && storage.bytesAvailable() < freeSpaceFactor * size) {
        failTransfer(tr("Not enough disk space in %1")
                         .arg(QDir::toNativeSeparators(QFileInfo(directory).absolutePath())));
    }
}

void ChromeDownloader::fileDownloadRead()
{
    if (!m_reply || !m_transferError.isEmpty())
        return;
    const QByteArray data = m_reply->readAll();
    m_received += data.size();
    if (m_received > maximumDownloadSize) {
        failTransfer(tr("Download failed: the file is larger than 2 GiB"));
        return;
    }
    m_hash.addData(data);
    if (m_downloadFile->write(data) != data.size()) {
        // Disk full or similar: a short file must never be used.
        failTransfer(
            tr("Cannot write the download to %1: %2")
                .arg(QDir::toNativeSeparators(QFileInfo(m_downloadFile->fileName()).absolutePath()),
                     m_downloadFile->errorString()));
    }
}

void ChromeDownloader::fileDownloadError(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code)
    if (m_reply && m_transferError.isEmpty())
        m_transferError = transferProblem(m_reply);
}

void ChromeDownloader::failTransfer(const QString &error)
{
    m_transferError = error;
    // Completes the reply at once; its finished() gives the transfer up.
    if (m_reply)
        m_reply->abort();
}

void ChromeDownloader::checkTrickle()
{
    // A stall is caught by the transfer timeout; a trickle of a byte now and then is not.
    const qint64 windowBytes = minimumBytesPerSecond * m_trickleWindow.interval() / 1000;
    if (m_received - m_receivedAtWindowStart < windowBytes) {
        failTransfer(tr("Download failed: the transfer stayed below 1 KiB/s"));
        return;
    }
    m_receivedAtWindowStart = m_received;
}

void ChromeDownloader::fileDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (bytesTotal != m_downloadSize) {
        m_downloadSize = bytesTotal;
        emit downloadSizeChanged(bytesTotal);
    }
    if (bytesReceived != m_downloadCurrent) {
        m_downloadCurrent = bytesReceived;
        emit downloadCurrentChanged(bytesReceived);
    }
    if (bytesReceived != 0 && bytesTotal != 0) {
        const float progress = float(static_cast<long double>(bytesReceived) / bytesTotal);
        if (progress != m_downloadProgress) {
            m_downloadProgress = progress;
            emit downloadProgressChanged(progress);
        }
    }
}

void ChromeDownloader::fileDownloadFinished()
{
    QNetworkReply *reply = m_reply;
    if (!reply || sender() != reply)
        return;
    fileDownloadRead();

    const int status = httpStatus(reply);
    const QByteArray location = reply->rawHeader("Location");
    // Only a 3xx redirects: a 200 that happens to carry a Location is the file itself.
    if (m_transferError.isEmpty() && status >= 300 && status <= 399 && !location.isEmpty()) {
        const QUrl target = BuildNumber::redirectTarget(m_address, location);
        qCInfo(lcUpdate) << "HTTP" << status << "redirect to" << target.toString();
        releaseReply();
        if (target.isEmpty() || ++m_redirects > maximumRedirects) {
            abandonTransfer(target.isEmpty() ? tr("Download failed: refused redirect to %1")
                                                   .arg(QString::fromLatin1(location))
                                             : tr("Download failed: too many redirects"));
            return;
        }
        startDownload(target);
        return;
    }

    const QString problem = m_transferError.isEmpty() ? transferProblem(reply) : m_transferError;
    qCInfo(lcUpdate) << "HTTP" << status << "received" << m_received << "bytes"
                     << (problem.isEmpty() ? QStringLiteral("complete") : problem);
    releaseReply();
    if (!problem.isEmpty()) {
        abandonTransfer(problem);
        return;
    }
    install();
}

QString ChromeDownloader::transferProblem(QNetworkReply *reply) const
{
    const int status = httpStatus(reply);
    if (status != 0 && (status < 200 || status > 299)) {
        const QString reason
            = reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        return tr("Download failed: HTTP %1 %2").arg(status).arg(reason).trimmed();
    }
    if (reply->error() != QNetworkReply::NoError)
        return tr("Download failed: %1").arg(reply->errorString());
    if (!m_downloadFile->flush())
        return tr("Cannot write the download: %1").arg(m_downloadFile->errorString());

    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && announced.toLongLong() != m_received)
        return tr("Download failed: received %1 of %2 bytes")
            .arg(m_received)
            .arg(announced.toLongLong());

    const ObjectHash::Expected expected = ObjectHash::parse(reply->rawHeader("x-goog-hash"));
    const bool hashed = expected.present || expected.malformed;
    if (hashed && !m_hash.matches(expected)) {
        qCWarning(lcUpdate) << "Checksum mismatch for" << reply->url().toString();
        return tr("The download did not match the storage's checksum");
    }
    qCInfo(lcUpdate) << "Checksum" << (hashed ? "matched" : "not sent");

    // A body that simply stops looks like one that ended: only an announced length, the
    // end of a chunked body, an HTTP/2 stream's end or the storage's checksum tell them apart.
    const bool chunked = reply->rawHeader("Transfer-Encoding").toLower().contains("chunked");
    const bool http2 = reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
    if (!announced.isValid() && !chunked && !http2 && !hashed)
        return tr("Download failed: the transfer ended without a length or checksum to prove it "
                  "complete");
    return QString();
}

void ChromeDownloader::install()
{
    m_trickleWindow.stop();
    m_downloadFile->close();

    if (m_series.method() == BuildSeries::UnpackArchive) {
        const QString archive = m_downloadFile->fileName();
        delete m_downloadFile;
        m_downloadFile = nullptr;
        setStatus(InstallingStatus);
        m_archiveInstaller->install(m_requestedBuild, archive, std::move(m_downloadDir));
        return;
    }

    m_downloadFile->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                   | QFileDevice::ExeOwner);
    m_installerErrors.clear();
    m_installerProcess = new QProcess(this);
    // Whatever the installer prints must not pile up in our memory: its output is dropped
    // and only the tail of its errors is kept for the log.
    m_installerProcess->setStandardOutputFile(QProcess::nullDevice());
    connect(m_installerProcess, &QProcess::finished, this, &ChromeDownloader::processFinished);
    connect(m_installerProcess, &QProcess::errorOccurred, this, &ChromeDownloader::installerError);
    connect(m_installerProcess, &QProcess::readyReadStandardError, this,
            &ChromeDownloader::readInstallerErrors);

    setStatus(InstallingStatus);
    qCInfo(lcUpdate) << "Running the installer" << m_downloadFile->fileName();
    m_installerProcess->start(m_downloadFile->fileName(), QStringList());
}

void ChromeDownloader::readInstallerErrors()
{
    if (!m_installerProcess)
        return;
    m_installerErrors += m_installerProcess->readAllStandardError();
    if (m_installerErrors.size() > installerErrorTail)
        m_installerErrors.remove(0, m_installerErrors.size() - installerErrorTail);
}

void ChromeDownloader::installerError(QProcess::ProcessError error)
{
    // A process that never started reports no exit; every other error is followed by one.
    if (error == QProcess::FailedToStart && m_installerProcess)
        finishInstallation(
            false,
            tr("The installer could not be started: %1").arg(m_installerProcess->errorString()));
}

void ChromeDownloader::processFinished(int exitCode)
{
    if (!m_installerProcess || sender() != m_installerProcess)
        return;
    readInstallerErrors();
    const bool crashed = m_installerProcess->exitStatus() != QProcess::NormalExit;
    qCInfo(lcUpdate) << "Installer" << (crashed ? "crashed" : "exited with") << exitCode;
    if (!m_installerErrors.isEmpty())
        qCWarning(lcUpdate).noquote()
            << "Installer errors:" << QString::fromLocal8Bit(m_installerErrors);
    QString error;
    if (crashed)
        error = tr("The installer crashed");
    else if (exitCode != 0)
        error = tr("The installer failed with exit code %1").arg(exitCode);
    finishInstallation(error.isEmpty(), error);
}

void ChromeDownloader::archiveInstalled(bool succeeded, const QString &error,
                                        const QString &version)
{
    finishInstallation(succeeded, error, version);
    refreshPreviousBuild();
    if (succeeded)
        checkSandbox();
}

QString ChromeDownloader::currentVersion() const
{
    return m_series.method() == BuildSeries::UnpackArchive
        ? m_archiveInstaller->version(m_currentBuild)
        : QString();
}

void ChromeDownloader::finishInstallation(bool succeeded, const QString &error,
                                          const QString &version)
{
    removeDownload();
    if (m_installerProcess) {
        m_installerProcess->deleteLater();
        m_installerProcess = nullptr;
    }
    QString problem = error;
    if (succeeded) {
        m_currentBuild = m_requestedBuild;
        problem = saveSettings({ { Config::CurrentBuild, m_currentBuild } });
        if (!problem.isEmpty())
            m_unrecordedBuild = m_requestedBuild;
    }
    if (!problem.isEmpty())
        qCWarning(lcUpdate).noquote() << "Build" << m_requestedBuild << ":" << problem;
    setLastError(problem);
    setStatus(IdleStatus);
    if (succeeded) {
        emit currentBuildChanged(m_currentBuild);
        emit installed(m_currentBuild, version);
    } else {
        emit failed(m_requestedBuild, problem);
    }
    m_downloadProgress = 0.0f;
    emit downloadProgressChanged(0.0f);
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

void ChromeDownloader::abandonTransfer(const QString &error)
{
    m_trickleWindow.stop();
    removeDownload();
    qCWarning(lcUpdate).noquote() << "Build" << m_requestedBuild << ":" << error;
    setLastError(error);
    setStatus(IdleStatus);
    emit failed(m_requestedBuild, error);
    returnFreedMemory();
}

bool ChromeDownloader::goBack()
{
    if (m_status != IdleStatus || m_previousBuild == -1)
        return false;
    QString error;
    const bool wentBack = m_archiveInstaller->goBack(&error);
    setLastError(error);
    if (wentBack) {
        m_currentBuild = m_archiveInstaller->root().currentBuild();
        emit currentBuildChanged(m_currentBuild);
    }
    refreshPreviousBuild();
    return wentBack;
}

void ChromeDownloader::refreshInstalledBuild()
{
    if (m_status != IdleStatus || m_series.method() != BuildSeries::UnpackArchive)
        return;
    const int linked = m_archiveInstaller->root().currentBuild();
    if (linked != m_currentBuild) {
        m_currentBuild = linked;
        emit currentBuildChanged(linked);
    }
    refreshPreviousBuild();
}

void ChromeDownloader::checkSandbox()
{
    const SandboxCheck::Restriction restriction = SandboxCheck::restriction();
    // AppArmor's restriction is lifted for our builds by the profile the helper wrote.
    const bool lifted = restriction == SandboxCheck::Restriction::AppArmor
        && SandboxProfile::coversOwnBuilds(m_archiveInstaller->root().path());
    if (restriction != SandboxCheck::Restriction::None && !lifted)
        emit sandboxBlocked(int(restriction));
}

void ChromeDownloader::allowSandbox()
{
    m_sandboxPermission->allow(m_archiveInstaller->root().browserPath());
}

void ChromeDownloader::refreshPreviousBuild()
{
    const int previous = m_series.method() == BuildSeries::UnpackArchive
        ? m_archiveInstaller->root().previousBuild()
        : -1;
    if (previous != m_previousBuild) {
        m_previousBuild = previous;
        emit previousBuildChanged(previous);
    }
}

void ChromeDownloader::removeDownload()
{
    if (m_downloadFile) {
        m_downloadFile->close();
        m_downloadFile->remove();
        delete m_downloadFile;
        m_downloadFile = nullptr;
    }
    m_downloadDir.reset();
}

void ChromeDownloader::releaseReply()
{
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->deleteLater();
        m_reply = nullptr;
    }
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

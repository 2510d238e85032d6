#include "builds/chromedownloader.h"

#include "builds/buildnumber.h"
#include "common/endpoints.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QNetworkAccessManager>
#include <QNetworkRequest>
#include <QSettings>
#include <QTemporaryDir>

namespace {
const QString currentBuildKey = QStringLiteral("CurrentBuild");
}

ChromeDownloader::ChromeDownloader(QObject *parent)
    : QObject(parent)
    , m_networkManager(new QNetworkAccessManager(this))
{
    m_platform = QStringLiteral("Win");
    m_currentBuild = QSettings().value(currentBuildKey, -1).toInt();
    emit currentBuildChanged(m_currentBuild);
}

ChromeDownloader::~ChromeDownloader()
{
    // Nobody listens any more; the outcome still has to reach the settings and the disk.
    blockSignals(true);
    if (m_installerProcess && m_installerProcess->state() != QProcess::NotRunning) {
        m_installerProcess->disconnect(this);
        m_installerProcess->waitForFinished(-1);
        finishInstallation(m_installerProcess->exitStatus() == QProcess::NormalExit
                           && m_installerProcess->exitCode() == 0);
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

void ChromeDownloader::downloadVersion(int version)
{
    // One build at a time: a second transfer would write into the file of the first, or
    // into the file an installer is running from.
    if (m_status != IdleStatus)
        return;

    // A fresh directory with an unpredictable name, readable by us alone, and a file in it
    // that must not exist yet: nothing anyone planted in the shared temporary directory is
    // ever opened or run. QDir::tempPath() is empty when the configured directory is
    // unusable, and a relative template would land wherever we happen to be.
    const QString tempPath = QDir::tempPath();
    if (tempPath.isEmpty() || !QFileInfo(tempPath).isDir())
        return;
    auto directory = std::make_unique<QTemporaryDir>(tempPath + QStringLiteral("/tarrowin-XXXXXX"));
    if (!directory->isValid())
        return;
    auto file = std::make_unique<QFile>(
        directory->filePath(QStringLiteral("chromium_installer_%1.exe").arg(version)));
    if (!file->open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return;
    file->setParent(this);

    m_requestedBuild = version;
    m_downloadDir = std::move(directory);
    m_downloadFile = file.release();
    m_redirects = 0;

    QUrl address = Endpoints::buildStorage();
    address.setPath(QStringLiteral("/chromium-browser-continuous/%1/%2/mini_installer.exe")
                        .arg(m_platform)
                        .arg(version));
    startDownload(address);
}

void ChromeDownloader::startDownload(const QUrl &address)
{
    // Each hop starts the file over.
    m_downloadFile->resize(0);
    m_address = address;
    m_transferFailed = false;
    setStatus(DownloadingStatus);

    QNetworkRequest request(address);
    // Redirects are followed here, where hops are counted and downgrades refused.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(m_transferTimeout);
    m_reply = m_networkManager->get(request);
    m_reply->setReadBufferSize(readBufferSize);
    connect(m_reply, &QNetworkReply::finished, this, &ChromeDownloader::fileDownloadFinished);
    connect(m_reply, &QNetworkReply::errorOccurred, this, &ChromeDownloader::fileDownloadError);
    connect(m_reply, &QNetworkReply::downloadProgress, this,
            &ChromeDownloader::fileDownloadProgress);
    connect(m_reply, &QNetworkReply::readyRead, this, &ChromeDownloader::fileDownloadRead);
}

void ChromeDownloader::fileDownloadRead()
{
    if (!m_reply || m_transferFailed)
        return;
    const QByteArray data = m_reply->readAll();
    if (m_downloadFile->write(data) != data.size()) {
        // Disk full or similar: a short file must never be run.
        m_transferFailed = true;
        m_reply->abort();
    }
}

void ChromeDownloader::fileDownloadError(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code)
    m_transferFailed = true;
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

    const QByteArray location = reply->rawHeader("Location");
    if (!m_transferFailed && !location.isEmpty()) {
        const QUrl target = BuildNumber::redirectTarget(m_address, location);
        releaseReply();
        if (target.isEmpty() || ++m_redirects > maximumRedirects) {
            abandonTransfer();
            return;
        }
        startDownload(target);
        return;
    }

    const bool complete = transferComplete(reply);
    releaseReply();
    if (!complete) {
        abandonTransfer();
        return;
    }
    install();
}

bool ChromeDownloader::transferComplete(QNetworkReply *reply) const
{
    if (m_transferFailed || reply->error() != QNetworkReply::NoError)
        return false;
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status < 200 || status > 299)
        return false;
    if (!m_downloadFile->flush())
        return false;
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    return !announced.isValid() || announced.toLongLong() == m_downloadFile->size();
}

void ChromeDownloader::install()
{
    m_downloadFile->close();
    m_downloadFile->setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner
                                   | QFileDevice::ExeOwner);

    m_installerProcess = new QProcess(this);
    connect(m_installerProcess, &QProcess::finished, this, &ChromeDownloader::processFinished);
    connect(m_installerProcess, &QProcess::errorOccurred, this, &ChromeDownloader::installerError);

    setStatus(InstallingStatus);
    m_installerProcess->start(m_downloadFile->fileName(), QStringList());
}

void ChromeDownloader::installerError(QProcess::ProcessError error)
{
    // A process that never started reports no exit; every other error is followed by one.
    if (error == QProcess::FailedToStart)
        finishInstallation(false);
}

void ChromeDownloader::processFinished(int exitCode)
{
    if (!m_installerProcess || sender() != m_installerProcess)
        return;
    finishInstallation(m_installerProcess->exitStatus() == QProcess::NormalExit && exitCode == 0);
}

void ChromeDownloader::finishInstallation(bool succeeded)
{
    removeDownload();
    if (m_installerProcess) {
        m_installerProcess->deleteLater();
        m_installerProcess = nullptr;
    }
    setStatus(IdleStatus);
    if (succeeded) {
        m_currentBuild = m_requestedBuild;
        QSettings().setValue(currentBuildKey, m_currentBuild);
        emit currentBuildChanged(m_currentBuild);
    }
    m_downloadProgress = 0.0f;
    emit downloadProgressChanged(0.0f);
}

void ChromeDownloader::abandonTransfer()
{
    removeDownload();
    setStatus(IdleStatus);
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

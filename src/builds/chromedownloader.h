#pragma once

#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QUrl>

#include <memory>

class QFile;
class QNetworkAccessManager;
class QTemporaryDir;

// Downloads the installer of one Chromium build, runs it and, when it exits with 0,
// remembers the build as installed ("CurrentBuild"). Only a complete, successful transfer is
// ever run, and only from a private directory nobody else can plant files in.
class ChromeDownloader : public QObject
{
    Q_OBJECT
    Q_PROPERTY(qint64 downloadSize READ downloadSize NOTIFY downloadSizeChanged)
    Q_PROPERTY(qint64 downloadCurrent READ downloadCurrent NOTIFY downloadCurrentChanged)
    Q_PROPERTY(float downloadProgress READ downloadProgress NOTIFY downloadProgressChanged)
    Q_PROPERTY(int currentBuild READ currentBuild NOTIFY currentBuildChanged)
    Q_PROPERTY(Status status READ status NOTIFY currentStatusChanged)

public:
    enum Status { IdleStatus = 0, DownloadingStatus = 1, InstallingStatus = 2 };
    Q_ENUM(Status)

    static constexpr int maximumRedirects = 10;
    // Bounds what a transfer holds in memory; the rest waits in the socket until drained.
    static constexpr qint64 readBufferSize = 2 * 1024 * 1024;

    explicit ChromeDownloader(QObject *parent = nullptr);
    // Waits for a running installer: killing it half-way can leave the browser broken.
    ~ChromeDownloader() override;

    qint64 downloadSize() const { return m_downloadSize; }
    qint64 downloadCurrent() const { return m_downloadCurrent; }
    float downloadProgress() const { return m_downloadProgress; }
    int currentBuild() const { return m_currentBuild; }
    Status status() const { return m_status; }

    // How long a transfer may go without receiving a byte before it is given up.
    void setTransferTimeout(int milliseconds) { m_transferTimeout = milliseconds; }
    // The installer file of the running transfer or installation; empty when idle.
    QString installerPath() const;

    Q_INVOKABLE void downloadVersion(int version);

signals:
    void downloadSizeChanged(qint64 downloadSize);
    void downloadCurrentChanged(qint64 downloadCurrent);
    void downloadProgressChanged(float downloadProgress);
    void currentStatusChanged(ChromeDownloader::Status currentStatus);
    void currentBuildChanged(int currentBuild);

public slots:
    void fileDownloadRead();
    void fileDownloadFinished();
    void fileDownloadError(QNetworkReply::NetworkError code);
    void fileDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void processFinished(int exitCode);

private:
    void startDownload(const QUrl &address);
    bool transferComplete(QNetworkReply *reply) const;
    void install();
    void installerError(QProcess::ProcessError error);
    void finishInstallation(bool succeeded);
    void abandonTransfer();
    void removeDownload();
    void releaseReply();
    void setStatus(Status status);

    QString m_platform;
    int m_requestedBuild = -1;
    qint64 m_downloadSize = 0;
    qint64 m_downloadCurrent = 0;
    float m_downloadProgress = 0.0f;
    Status m_status = IdleStatus;
    int m_currentBuild = -1;
    QNetworkAccessManager *m_networkManager;
    QPointer<QNetworkReply> m_reply;
    QFile *m_downloadFile = nullptr;
    QProcess *m_installerProcess = nullptr;

    std::unique_ptr<QTemporaryDir> m_downloadDir;
    QUrl m_address;
    int m_redirects = 0;
    bool m_transferFailed = false;
    int m_transferTimeout = 60000;
};

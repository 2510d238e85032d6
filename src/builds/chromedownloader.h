#pragma once

#include "builds/buildseries.h"
#include "builds/downloadprogress.h"
#include "builds/installedbuilds.h"
#include "builds/staging.h"

#include <QObject>

class ArchiveFetch;
class ArchiveInstaller;
class ArchiveSource;
class InstallerRun;
class PipelinedInstall;
class PublishedFallback;
class QNetworkAccessManager;

// Downloads one Chromium build, installs it and, when that succeeds, remembers the build as
// installed (Config::CurrentBuild). Depending on the platform's build series the download is an
// installer that is run (exit code 0 means installed) or an archive that is unpacked into the
// install root. Only a complete transfer that the storage vouches for is ever used, and only
// from a private directory nobody else can plant files in.
class ChromeDownloader : public QObject
{
    Q_OBJECT
    Q_PROPERTY(qint64 downloadSize READ downloadSize NOTIFY downloadSizeChanged)
    Q_PROPERTY(qint64 downloadCurrent READ downloadCurrent NOTIFY downloadCurrentChanged)
    Q_PROPERTY(float downloadProgress READ downloadProgress NOTIFY downloadProgressChanged)
    Q_PROPERTY(int currentBuild READ currentBuild NOTIFY currentBuildChanged)
    // What the installed build said of itself ("Chromium 156.0.…"); empty when unknown.
    Q_PROPERTY(QString currentVersion READ currentVersion NOTIFY currentBuildChanged)
    Q_PROPERTY(Status status READ status NOTIFY currentStatusChanged)
    Q_PROPERTY(int previousBuild READ previousBuild NOTIFY previousBuildChanged)
    Q_PROPERTY(QString lastError READ lastError NOTIFY lastErrorChanged)
    // The attempt takes the mirror's copy with nothing but the mirror's own checksums to judge
    // it by: the storage could not be asked what the archive is.
    Q_PROPERTY(bool mirrorOnly READ mirrorOnly NOTIFY mirrorOnlyChanged)

public:
    enum Status { IdleStatus = 0, DownloadingStatus = 1, InstallingStatus = 2 };
    Q_ENUM(Status)

    explicit ChromeDownloader(QObject *parent = nullptr);
    // Leaves a running installer to finish, and keeps what arrived of an archive.
    ~ChromeDownloader() override;

    qint64 downloadSize() const { return m_progress->size(); }
    qint64 downloadCurrent() const { return m_progress->current(); }
    float downloadProgress() const { return m_progress->fraction(); }
    int currentBuild() const { return m_builds->current(); }
    QString currentVersion() const { return m_builds->currentVersion(); }
    Status status() const { return m_status; }
    // The build `current` replaced, to go back to; -1 when there is none.
    int previousBuild() const { return m_builds->previous(); }
    // Why the last attempt failed, in words a user can act on; empty after a success.
    QString lastError() const { return m_lastError; }
    bool mirrorOnly() const;

    // The transfer, for its test seams.
    ArchiveFetch *fetch() const { return m_fetch; }
    // Test seam: false unpacks an archive only once it is whole, as a server without ranges
    // makes it, so benchmarks can set the two orders side by side.
    static void setPipelining(bool enabled);
    static bool pipelining();
    // How long the unpacked browser may take to report its version.
    void setVerifyTimeout(int milliseconds);
    // The downloaded file of the running transfer or installation; empty when idle.
    QString installerPath() const;

    // The manager downloads go through; without one the downloader makes its own.
    void setNetworkAccessManager(QNetworkAccessManager *manager);

    Q_INVOKABLE void downloadVersion(int version);
    // The same for a build installed beside the current one and pinned, unpacked builds only:
    // `current` stays as it is.
    Q_INVOKABLE void installBeside(int build);
    // Stops the running transfer and keeps what arrived of an archive for the next attempt
    // at the build, which asks only for the rest; the status goes back to idle, and nothing
    // counts as failed. An installation under way goes on. False when no transfer ran.
    Q_INVOKABLE bool pause();
    // Makes the previous build current again and remembers the one left as Config::SkippedBuild.
    Q_INVOKABLE bool goBack();
    // Reads the links again while idle: a build deleted while we run is no longer installed,
    // and the next check fetches it again.
    Q_INVOKABLE void refreshInstalledBuild();

signals:
    void downloadSizeChanged(qint64 downloadSize);
    void downloadCurrentChanged(qint64 downloadCurrent);
    void downloadProgressChanged(float downloadProgress);
    void currentStatusChanged(ChromeDownloader::Status currentStatus);
    void currentBuildChanged(int currentBuild);
    void previousBuildChanged(int previousBuild);
    void lastErrorChanged(const QString &lastError);
    void mirrorOnlyChanged(bool mirrorOnly);
    // The archive of `build` answered and is coming: once per attempt.
    void downloading(int build);
    // Every attempt that ends without the build installed, whatever the cause, except an
    // archive the storage does not have yet.
    void failed(int build, const QString &error);
    // An attempt succeeded: build is installed, and said it is version.
    void installed(int build, const QString &version);
    // The build's archive is not published yet (404); newest is the newest build below it
    // whose archive is, -1 when the storage's listing names none.
    void notPublished(int build, int newest);
    // A download or installation has ended and let go of its memory: whoever made the
    // element may hand back garbage of its own now, before the freed pools go back too.
    void workEnded();

public slots:
    // The transfer reads its own replies and tells its end: nothing is left to do here.
    void fileDownloadRead();
    // Receives ArchiveFetch::finished.
    void fileDownloadFinished();
    // The transfer tells its errors with its end: nothing is left to do here.
    void fileDownloadError(int code);
    // Receives ArchiveFetch::progressed.
    void fileDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    // Receives the installer's exit.
    void processFinished(int exitCode);

private:
    void start(int version, bool beside);
    void connectParts();
    void connectPipeline();
    void startFetch();
    void refuseMirror();
    void archiveNotFound(const QString &why);
    void endUnpublished(int build, int newest);
    void install();
    void unpackWhole();
    void pipelineAnswered();
    void pipelineRefused(const QString &error);
    void archiveInstalled(bool succeeded, const QString &error, const QString &version);
    void finishInstallation(bool succeeded, const QString &error = QString(),
                            const QString &version = QString());
    void abandonTransfer(const QString &error, bool keepPart = false);
    void removeDownload(bool keepPart = false);
    void setStatus(Status status);
    void setLastError(const QString &error);
    void returnFreedMemory();

    BuildSeries m_series;
    int m_requestedBuild = -1;
    Status m_status = IdleStatus;
    QString m_lastError;
    ArchiveFetch *m_fetch;
    InstallerRun *m_installer;
    ArchiveInstaller *m_archiveInstaller;
    PublishedFallback *m_fallback;
    ArchiveSource *m_source;
    // Unpacks the attempt's archive as it arrives, where its source allows.
    PipelinedInstall *m_pipeline;
    InstalledBuilds *m_builds;
    DownloadProgress *m_progress;
    // The attempt said its archive is coming.
    bool m_announced = false;
    // The attempt installs beside current rather than as it.
    bool m_beside = false;
    // The directory and file of the download, while a download or installation uses them.
    Staging m_staging;
};

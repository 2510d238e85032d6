#pragma once

#include "builds/buildlisting.h"
#include "builds/buildseries.h"
#include "builds/downloadsink.h"
#include "builds/objecthash.h"
#include "builds/partialdownload.h"
#include "builds/rangeplan.h"

#include <QHash>
#include <QNetworkReply>
#include <QObject>
#include <QPointer>
#include <QProcess>
#include <QTimer>
#include <QUrl>

#include <memory>

class ArchiveInstaller;
class SandboxPermission;
class RangeFetch;
class QFile;
class QNetworkAccessManager;
class QTemporaryDir;

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

public:
    enum Status { IdleStatus = 0, DownloadingStatus = 1, InstallingStatus = 2 };
    Q_ENUM(Status)

    static constexpr int maximumRedirects = 10;
    // Bounds what a transfer holds in memory; the rest waits in the socket until drained.
    static constexpr qint64 readBufferSize = 2 * 1024 * 1024;
    // Bounds what waits for the writer thread; reading pauses above it.
    static constexpr qint64 maximumPending = 2 * 1024 * 1024;
    // No Chromium build comes near this; a body past it is not what we asked for.
    static constexpr qint64 maximumDownloadSize = qint64(2) * 1024 * 1024 * 1024;
    // Unpacking needs room for the archive, the unpacked tree and the build it replaces.
    static constexpr int freeSpaceFactor = 4;
    // A transfer slower than this for a whole trickle window is given up.
    static constexpr qint64 minimumBytesPerSecond = 1024;
    // What is kept of an installer's error output for the log.
    static constexpr qint64 installerErrorTail = 4096;

    explicit ChromeDownloader(QObject *parent = nullptr);
    // Waits for a running installer: killing it half-way can leave the browser broken.
    ~ChromeDownloader() override;

    qint64 downloadSize() const { return m_downloadSize; }
    qint64 downloadCurrent() const { return m_downloadCurrent; }
    float downloadProgress() const { return m_downloadProgress; }
    int currentBuild() const { return m_currentBuild; }
    QString currentVersion() const;
    Status status() const { return m_status; }
    // The build `current` replaced, to go back to; -1 when there is none.
    int previousBuild() const { return m_previousBuild; }
    // Why the last attempt failed, in words a user can act on; empty after a success.
    QString lastError() const { return m_lastError; }

    // Test seams: how long a transfer may go without receiving a byte, and the window over
    // which a transfer must average minimumBytesPerSecond.
    void setTransferTimeout(int milliseconds) { m_transferTimeout = milliseconds; }
    void setTrickleWindow(int milliseconds) { m_trickleWindow.setInterval(milliseconds); }
    // How long the unpacked browser may take to report its version.
    void setVerifyTimeout(int milliseconds);
    // The downloaded file of the running transfer or installation; empty when idle.
    QString installerPath() const;

    // Test seam: the pauses before the tries that resume a broken transfer within one attempt.
    static void setRetryDelays(const QList<int> &milliseconds);
    // Test seam: the size from which a file comes in parallel ranges (64 MiB).
    static void setParallelThreshold(qint64 bytes);

    // The manager downloads go through; without one the downloader makes its own.
    void setNetworkAccessManager(QNetworkAccessManager *manager);

    Q_INVOKABLE void downloadVersion(int version);
    // Makes the previous build current again and remembers the one left as Config::SkippedBuild.
    Q_INVOKABLE bool goBack();
    // Reads the links again while idle: a build deleted while we run is no longer installed,
    // and the next check fetches it again.
    Q_INVOKABLE void refreshInstalledBuild();
    // Asks for the password to let the installed builds sandbox themselves, where AppArmor
    // keeps them from it.
    Q_INVOKABLE void allowSandbox();

signals:
    void downloadSizeChanged(qint64 downloadSize);
    void downloadCurrentChanged(qint64 downloadCurrent);
    void downloadProgressChanged(float downloadProgress);
    void currentStatusChanged(ChromeDownloader::Status currentStatus);
    void currentBuildChanged(int currentBuild);
    void previousBuildChanged(int previousBuild);
    void lastErrorChanged(const QString &lastError);
    // Every attempt that ends without the build installed, whatever the cause, except an
    // archive the storage does not have yet.
    void failed(int build, const QString &error);
    // An attempt succeeded: build is installed, and said it is version.
    void installed(int build, const QString &version);
    // An installed browser will not be able to sandbox itself on this system, and why: a
    // SandboxCheck::Restriction.
    void sandboxBlocked(int restriction);
    // What came of allowSandbox(): whether the builds may sandbox themselves now.
    void sandboxAllowed(bool allowed, const QString &message);
    // The build's archive is not published yet (404); newest is the newest build below it
    // whose archive is, -1 when the storage's listing names none.
    void notPublished(int build, int newest);
    // A download or installation has ended and let go of its memory: whoever made the
    // element may hand back garbage of its own now, before the freed pools go back too.
    void workEnded();

public slots:
    void fileDownloadRead();
    void fileDownloadFinished();
    void fileDownloadError(QNetworkReply::NetworkError code);
    void fileDownloadProgress(qint64 bytesReceived, qint64 bytesTotal);
    void processFinished(int exitCode);

private:
    bool prepareDownload(int version);
    void startDownload(const QUrl &address);
    void checkAnnouncedSize();
    bool judgeRange(int status);
    void readReply(bool all);
    void concludeTransfer(bool written, const QString &writeError, bool checksumMatches);
    void endTransfer(QString problem, bool written, bool checksumMatches);
    void startRanges(int status, const ObjectHash::Expected &expected);
    qint64 rangesReceived() const;
    void concludeRanges();
    void keepRanges();
    QList<RangePlan::Progress> rangeProgress(bool written) const;
    bool saveKept();
    void checkpointRanges();
    void stopRanges();
    bool resumable(int status) const;
    void retry();
    void askForPublishedBuild(const QString &notFound);
    void listingAnswered(bool answered, const BuildListing::Object &newest);
    QString transferProblem(QNetworkReply *reply) const;
    void checkTrickle();
    void install();
    void readInstallerErrors();
    void installerError(QProcess::ProcessError error);
    void archiveInstalled(bool succeeded, const QString &error, const QString &version);
    void finishInstallation(bool succeeded, const QString &error = QString(),
                            const QString &version = QString());
    void failTransfer(const QString &error);
    void abandonTransfer(const QString &error, bool keepPart = false);
    void removeDownload(bool keepPart = false);
    void releaseReply();
    void setStatus(Status status);
    void setLastError(const QString &error);
    void refreshPreviousBuild();
    void checkSandbox();
    void returnFreedMemory();

    BuildSeries m_series;
    int m_requestedBuild = -1;
    qint64 m_downloadSize = 0;
    qint64 m_downloadCurrent = 0;
    float m_downloadProgress = 0.0f;
    Status m_status = IdleStatus;
    int m_currentBuild = -1;
    int m_previousBuild = -1;
    QString m_lastError;
    QNetworkAccessManager *m_networkManager = nullptr;
    QPointer<QNetworkReply> m_reply;
    QFile *m_downloadFile = nullptr;
    QProcess *m_installerProcess = nullptr;
    ArchiveInstaller *m_archiveInstaller;
    SandboxPermission *m_sandboxPermission;
    BuildListing *m_listing;
    // The newest published build the listing named last, to pin its generation.
    BuildListing::Object m_published;
    QString m_notFoundError;

    std::unique_ptr<QTemporaryDir> m_downloadDir;
    QUrl m_address;
    int m_redirects = 0;
    QString m_transferError;
    int m_transferTimeout = 60000;
    DownloadSink *m_sink;
    // What the ended response said, for when its file is whole on disk.
    struct Ending
    {
        int status = 0;
        QString problem;
        ObjectHash::Expected expected;
        bool endKnown = false;
    };
    Ending m_ending;
    // The ranges while a large file comes in parallel (m_record.ranges), in their order.
    QList<RangeFetch *> m_ranges;
    // What all ranges had on disk when this try began, and at the last checkpoint.
    qint64 m_rangeKept = 0;
    qint64 m_checkpointed = 0;
    QHash<const RangeFetch *, quint32> m_rangeCrcs;
    QString m_rangeError;
    // Body bytes of the running response, and where in the file that body starts.
    qint64 m_received = 0;
    qint64 m_offset = 0;
    // What the file is a part of; kept in the install root for archives, so that a later
    // attempt resumes too.
    PartialDownload::Record m_record;
    std::unique_ptr<PartialDownload> m_partial;
    bool m_rangeJudged = false;
    bool m_startOver = false;
    // The transfer was given up by us (too large, too slow, disk): nothing to resume.
    bool m_refused = false;
    int m_retries = 0;
    QTimer m_retryTimer;
    QTimer m_trickleWindow;
    qint64 m_receivedAtWindowStart = 0;
    QByteArray m_installerErrors;
    // A build that installed but could not be remembered is not fetched again in this run.
    int m_unrecordedBuild = -1;
};

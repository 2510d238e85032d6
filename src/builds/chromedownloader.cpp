#include "builds/chromedownloader.h"

#include "builds/buildnumber.h"
#include "builds/buildstorage.h"
#include "builds/crc32c.h"
#include "builds/rangefetch.h"
#include "builds/rangeplan.h"
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

#include <algorithm>

#ifdef __GLIBC__
#include <malloc.h>
#endif

namespace {

constexpr int defaultTrickleWindow = 5 * 60 * 1000;

// The one piece of mutable global state here: the test seam for the retry pauses.
QList<int> &retryDelays()
{
    static QList<int> delays { 1000, 4000, 16000 };
    return delays;
}

qint64 &parallelThreshold()
{
    static qint64 threshold = 64 * 1024 * 1024;
    return threshold;
}

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
    , m_listing(new BuildListing(this))
    , m_sink(new DownloadSink(this))
{
    connect(m_sink, &DownloadSink::drained, this, &ChromeDownloader::fileDownloadRead);
    connect(m_sink, &DownloadSink::failed, this, [this](const QString &error) {
        if (!m_downloadFile)
            return;
        failTransfer(
            tr("Cannot write the download to %1: %2")
                .arg(QDir::toNativeSeparators(QFileInfo(m_downloadFile->fileName()).absolutePath()),
                     error));
    });
    connect(m_sink, &DownloadSink::finished, this, &ChromeDownloader::concludeTransfer);
    connect(m_listing, &BuildListing::finished, this, &ChromeDownloader::listingAnswered);
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
    m_retryTimer.setSingleShot(true);
    connect(&m_retryTimer, &QTimer::timeout, this, &ChromeDownloader::retry);
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
    // What arrived of an archive is kept for the next start.
    bool keep = m_retryTimer.isActive();
    if (m_reply || !m_ranges.isEmpty()) {
        QNetworkReply *reply = m_reply;
        const int status = reply ? httpStatus(reply) : m_ending.status;
        releaseReply();
        if (reply)
            reply->abort();
        if (m_downloadFile && !m_ranges.isEmpty()) {
            // Each range keeps what reached the disk.
            for (RangeFetch *fetch : std::as_const(m_ranges)) {
                fetch->disconnect(this);
                fetch->halt();
            }
            keepRanges();
            keep = m_partial && resumable(status) && saveKept() && m_record.kept > 0;
        } else if (m_downloadFile && m_sink->isBusy() && resumable(status)) {
            m_record.kept = m_sink->waitForWrites();
            keep = m_partial && m_record.kept > 0 && m_partial->save(m_record);
        }
    }
    removeDownload(keep);
}

void ChromeDownloader::setRetryDelays(const QList<int> &milliseconds)
{
    retryDelays() = milliseconds;
}

void ChromeDownloader::setParallelThreshold(qint64 bytes)
{
    parallelThreshold() = bytes;
}

QString ChromeDownloader::installerPath() const
{
    return m_downloadFile ? m_downloadFile->fileName() : QString();
}

void ChromeDownloader::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_networkManager = manager;
    m_listing->setNetworkAccessManager(manager);
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
    m_retries = 0;
    retry();
}

void ChromeDownloader::retry()
{
    // From the storage's own address again: a redirect's target may have expired.
    m_redirects = 0;
    // By the build's own address, which never changes: a cache on the way may keep it.
    startDownload(BuildStorage::url(m_series.artifactPath(m_requestedBuild)));
}

bool ChromeDownloader::prepareDownload(int version)
{
    // A fresh directory with an unpredictable name, readable by us alone, and a file in it
    // that must not exist yet: nothing anyone planted is ever opened, run or unpacked. An
    // archive goes next to where it is unpacked, so the final rename is atomic and /tmp (in
    // memory on many systems) is spared a build's worth of data.
    // A part of the archive that an earlier attempt kept is moved in to be resumed.
    std::unique_ptr<QTemporaryDir> directory;
    std::unique_ptr<PartialDownload> partial;
    std::unique_ptr<QFile> file;
    m_record = PartialDownload::Record();
    QString where;
    if (m_series.method() == BuildSeries::UnpackArchive) {
        where = m_archiveInstaller->root().path();
        directory = m_archiveInstaller->root().createStagingDir();
        if (directory && directory->isValid()) {
            partial = std::make_unique<PartialDownload>(directory->path());
            m_record = partial->adopt(where, version);
            file = std::make_unique<QFile>(partial->partPath());
        }
    } else {
        // QDir::tempPath() is empty when the configured directory is unusable, and a
        // relative template would land wherever we happen to be.
        where = QDir::tempPath();
        if (!where.isEmpty() && QFileInfo(where).isDir())
            directory = std::make_unique<QTemporaryDir>(where + QStringLiteral("/tarrowin-XXXXXX"));
        if (directory && directory->isValid())
            file = std::make_unique<QFile>(
                directory->filePath(QStringLiteral("chromium_installer_%1.exe").arg(version)));
    }
    const auto mode
        = m_record.kept > 0 ? QIODevice::ReadWrite : QIODevice::ReadWrite | QIODevice::NewOnly;
    if (file && !file->open(mode))
        file.reset();
    if (!file) {
        const QString error = tr("Cannot write to %1").arg(QDir::toNativeSeparators(where));
        qCWarning(lcUpdate) << error;
        setLastError(error);
        emit failed(version, error);
        return false;
    }
    file->setParent(this);
    m_record.build = version;
    // Kept ranges say where the next request starts themselves.
    m_offset = m_record.ranges.isEmpty() ? m_record.kept : 0;
    m_partial = std::move(partial);
    m_downloadDir = std::move(directory);
    m_downloadFile = file.release();
    return true;
}

void ChromeDownloader::startDownload(const QUrl &address)
{
    m_address = address;
    m_transferError.clear();
    m_refused = false;
    m_rangeJudged = false;
    stopRanges();
    m_startOver = false;
    m_received = 0;
    m_ending = Ending();
    m_receivedAtWindowStart = 0;
    // Ranges that broke resume each on its own: this request asks the first unfinished one
    // for its rest, and the others follow once it is answered.
    const bool ranged = !m_record.ranges.isEmpty();
    const PartialDownload::Range first = m_record.next();
    if (ranged)
        m_offset = first.from + first.kept;
    m_trickleWindow.start();
    setStatus(DownloadingStatus);

    qCInfo(lcUpdate) << "GET" << address.toString();
    QNetworkRequest request(address);
    // Redirects are followed here, where hops are counted and downgrades refused.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setTransferTimeout(m_transferTimeout);
    if (m_offset > 0 || ranged) {
        qCInfo(lcUpdate) << "Asking for the rest from byte" << m_offset;
        request.setRawHeader("Range",
                             "bytes=" + QByteArray::number(m_offset) + '-'
                                 + (ranged ? QByteArray::number(first.to) : QByteArray()));
        request.setRawHeader("If-Range", m_record.etag);
    }
    // The build the listing named is the upload it described, not one that replaced it since.
    if (m_published.build == m_requestedBuild && !m_published.generation.isEmpty())
        request.setRawHeader("x-goog-if-generation-match", m_published.generation);
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
    QNetworkReply *reply = m_reply;
    if (!reply || !m_transferError.isEmpty())
        return;
    const int status = httpStatus(reply);
    // A redirect is judged at its target.
    if ((status >= 300 && status <= 399) || !judgeRange(status))
        return;
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (status < 200 || status > 299 || !announced.isValid())
        return;
    const qint64 size
        = !m_record.ranges.isEmpty() ? m_record.size : m_offset + announced.toLongLong();
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

bool ChromeDownloader::judgeRange(int status)
{
    if (m_rangeJudged)
        return !m_startOver;
    m_rangeJudged = true;
    const QByteArray etag = m_reply->rawHeader("ETag");
    const QByteArray generation = m_reply->rawHeader("x-goog-generation");
    const ObjectHash::Expected expected = ObjectHash::parse(m_reply->rawHeader("x-goog-hash"));
    const bool ranged = !m_record.ranges.isEmpty();
    if (m_offset > 0 || ranged) {
        auto answer = PartialDownload::judge(m_record, status, m_reply->rawHeader("Content-Range"),
                                             etag, generation);
        // The ranges' checksums combine into the one the first answer named: an answer that
        // names another, or none, would leave the file unchecked.
        if (answer == PartialDownload::Append && ranged && expected.crc32c != m_record.crc32c)
            answer = PartialDownload::StartOver;
        if (answer == PartialDownload::Append) {
            if (ranged)
                startRanges(status, expected);
            else
                m_sink->begin(m_downloadFile, m_offset, expected);
            return true;
        }
        qCInfo(lcUpdate) << "HTTP" << status << "to a range request:"
                         << (answer == PartialDownload::UseWhole ? "the whole file"
                                                                 : "starting over");
        m_offset = 0;
        m_record.ranges.clear();
        if (answer == PartialDownload::StartOver) {
            // Completes the reply; its finished() asks for the whole file.
            m_startOver = true;
            // An error status completes the reply by itself, its body unread.
            if (status >= 200 && status <= 299)
                m_reply->abort();
            return false;
        }
    }
    const QVariant announced = m_reply->header(QNetworkRequest::ContentLengthHeader);
    const qint64 length = announced.isValid() ? announced.toLongLong() : -1;
    // Storage servers often cap each connection: a large file comes in ranges side by side,
    // each with its own CRC-32C, combined at the end. MD5 cannot be combined.
    bool split = status == 200 && m_downloadFile->size() == 0
        && RangePlan::splits(length, etag, expected, parallelThreshold(), maximumDownloadSize);
    if (status == 200) {
        m_record.etag = etag;
        m_record.generation = generation;
        m_record.size = length;
        m_record.kept = 0;
        m_record.ranges.clear();
        m_record.crc32c = expected.crc32c;
    }
    // Preallocated: each range's bytes stay at their offset, whichever range breaks.
    split = split && m_downloadFile->resize(length);
    if (split) {
        m_record.ranges = RangePlan::plan(length);
        startRanges(status, expected);
    } else if (status >= 200 && status <= 299) {
        m_sink->begin(m_downloadFile, 0, expected);
    }
    // Written now, so that even a run that is killed leaves a part to resume; ranges that
    // kept nothing yet leave none.
    if (status == 200 && m_partial && resumable(status))
        m_partial->save(m_record);
    return true;
}

bool ChromeDownloader::resumable(int status) const
{
    const qint64 have = m_record.ranges.isEmpty() ? m_offset + m_received : m_record.kept;
    return !m_refused && RangePlan::resumable(m_record, have, status, m_rangeJudged);
}

void ChromeDownloader::fileDownloadRead()
{
    readReply(false);
}

void ChromeDownloader::readReply(bool all)
{
    if (!m_reply || !m_transferError.isEmpty() || m_startOver)
        return;
    if (!m_rangeJudged)
        checkAnnouncedSize();
    // Ranges read their own replies.
    if (!m_reply)
        return;
    // A redirect's or an error's body is not the file.
    if (!m_sink->isBusy()) {
        m_reply->skip(m_reply->bytesAvailable());
        return;
    }
    // What the writer has not written yet stays bounded: the rest waits in the socket.
    while (all || m_sink->pending() < maximumPending) {
        const QByteArray data = m_reply->read(readBufferSize);
        if (data.isEmpty())
            return;
        m_received += data.size();
        if (m_offset + m_received > maximumDownloadSize) {
            failTransfer(tr("Download failed: the file is larger than 2 GiB"));
            return;
        }
        m_sink->write(data);
    }
}

void ChromeDownloader::fileDownloadError(QNetworkReply::NetworkError code)
{
    Q_UNUSED(code)
    if (m_reply && m_transferError.isEmpty() && !m_startOver)
        m_transferError = transferProblem(m_reply);
}

void ChromeDownloader::failTransfer(const QString &error)
{
    m_transferError = error;
    m_refused = true;
    // Completes the reply at once; its finished() gives the transfer up.
    if (m_reply)
        m_reply->abort();
    // The ranges too.
    for (RangeFetch *fetch : std::as_const(m_ranges))
        fetch->fail(error);
}

void ChromeDownloader::checkTrickle()
{
    // A stall is caught by the transfer timeout; a trickle of a byte now and then is not.
    const qint64 windowBytes = minimumBytesPerSecond * m_trickleWindow.interval() / 1000;
    const qint64 received = m_received + rangesReceived();
    if (received - m_receivedAtWindowStart < windowBytes) {
        failTransfer(tr("Download failed: the transfer stayed below 1 KiB/s"));
        return;
    }
    m_receivedAtWindowStart = received;
}

void ChromeDownloader::fileDownloadProgress(qint64 bytesReceived, qint64 bytesTotal)
{
    if (m_startOver)
        return;
    // The kept part counts as arrived, and so do the other ranges with theirs.
    if (!m_ranges.isEmpty()) {
        bytesReceived = m_rangeKept + rangesReceived();
        bytesTotal = m_record.size;
        checkpointRanges();
    } else {
        bytesReceived += m_offset;
        if (bytesTotal > 0)
            bytesTotal += m_offset;
    }
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
    readReply(true);
    // The ranges took the reply over, and end on their own.
    if (!m_ranges.isEmpty())
        return;

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
    if (m_startOver) {
        releaseReply();
        startDownload(m_address);
        return;
    }

    const QString problem = m_transferError.isEmpty() ? transferProblem(reply) : m_transferError;
    m_ending.status = status;
    m_ending.problem = problem;
    m_ending.expected = ObjectHash::parse(reply->rawHeader("x-goog-hash"));
    // A body that simply stops looks like one that ended: only an announced length, the
    // end of a chunked body, an HTTP/2 stream's end or the storage's checksum tell them apart.
    m_ending.endKnown = reply->header(QNetworkRequest::ContentLengthHeader).isValid()
        || reply->rawHeader("Transfer-Encoding").toLower().contains("chunked")
        || reply->attribute(QNetworkRequest::Http2WasUsedAttribute).toBool();
    releaseReply();
    // The upload the listing named was replaced: later tries take what is there now, which
    // its own checksum vouches for, rather than failing on the pin until a restart.
    if (status == 412)
        m_published = BuildListing::Object();
    if (!m_refused && status == 404) {
        qCInfo(lcUpdate) << "HTTP 404";
        askForPublishedBuild(problem);
        return;
    }
    // The writer reports when the file is whole on disk.
    if (m_sink->isBusy())
        m_sink->finish();
    else
        concludeTransfer(true, QString(), false);
}

void ChromeDownloader::concludeTransfer(bool written, const QString &writeError,
                                        bool checksumMatches)
{
    QString problem = m_ending.problem;
    if (problem.isEmpty() && !written)
        problem = tr("Cannot write the download: %1").arg(writeError);
    endTransfer(problem, written, checksumMatches);
}

void ChromeDownloader::endTransfer(QString problem, bool written, bool checksumMatches)
{
    const bool hashed = m_ending.expected.present || m_ending.expected.malformed;
    if (problem.isEmpty() && hashed && !checksumMatches) {
        qCWarning(lcUpdate) << "Checksum mismatch for build" << m_requestedBuild;
        problem = tr("The download did not match the storage's checksum");
    }
    if (problem.isEmpty()) {
        qCInfo(lcUpdate) << "Checksum" << (hashed ? "matched" : "not sent");
        if (!m_ending.endKnown && !hashed)
            problem = tr("Download failed: the transfer ended without a length or checksum to "
                         "prove it complete");
    }
    const int status = m_ending.status;
    qCInfo(lcUpdate) << "HTTP" << status << "received" << m_received << "bytes"
                     << (problem.isEmpty() ? QStringLiteral("complete") : problem);
    if (!problem.isEmpty() && written && resumable(status)) {
        // A transfer that broke keeps what arrived; the next try asks for the rest only.
        const bool kept = saveKept();
        if (m_retries < retryDelays().size()) {
            qCInfo(lcUpdate) << "Trying again in" << retryDelays().at(m_retries) << "ms";
            m_trickleWindow.stop();
            m_retryTimer.start(retryDelays().at(m_retries++));
            return;
        }
        abandonTransfer(problem, kept && m_partial);
        return;
    }
    if (!problem.isEmpty()) {
        abandonTransfer(problem);
        return;
    }
    install();
}

void ChromeDownloader::startRanges(int status, const ObjectHash::Expected &expected)
{
    // The answered reply brings the first unfinished range; each other range asks for its
    // own on a connection of its own.
    m_ending.status = status;
    m_ending.expected = expected;
    m_rangeKept = m_record.kept;
    m_checkpointed = m_record.kept;
    const PartialDownload::Range first = m_record.next();
    for (const PartialDownload::Range &part : std::as_const(m_record.ranges)) {
        RangeFetch::Range range;
        range.from = part.from;
        range.to = part.to;
        range.kept = part.kept;
        range.total = m_record.size;
        range.etag = m_record.etag;
        range.generation = m_record.generation;
        range.crc32c = m_record.crc32c;
        RangeFetch *fetch;
        if (part.from == first.from) {
            QNetworkReply *reply = m_reply;
            reply->disconnect(this);
            m_reply = nullptr;
            fetch = new RangeFetch(reply, m_downloadFile->fileName(), range, this);
        } else {
            fetch = new RangeFetch(m_networkManager, m_address, m_downloadFile->fileName(), range,
                                   m_transferTimeout, this);
        }
        connect(fetch, &RangeFetch::progressed, this, [this] { fileDownloadProgress(0, 0); });
        connect(fetch, &RangeFetch::finished, this,
                [this, fetch](bool complete, const QString &error, quint32 crc) {
                    m_rangeCrcs.insert(fetch, crc);
                    if (!complete && m_rangeError.isEmpty())
                        m_rangeError = error;
                    concludeRanges();
                });
        m_ranges.append(fetch);
    }
}

qint64 ChromeDownloader::rangesReceived() const
{
    qint64 sum = 0;
    for (const RangeFetch *fetch : m_ranges)
        sum += fetch->received();
    return sum;
}

void ChromeDownloader::concludeRanges()
{
    if (m_rangeCrcs.size() < m_ranges.size())
        return;
    const QString problem = m_transferError.isEmpty() ? m_rangeError : m_transferError;
    // The ranges' checksums, in the file's order, make the whole file's.
    QList<RangePlan::Piece> pieces;
    for (const RangeFetch *fetch : std::as_const(m_ranges))
        pieces.append({ fetch->from(), fetch->length(), m_rangeCrcs.value(fetch) });
    const quint32 crc = RangePlan::combine(pieces);
    const bool matches = m_ending.expected.crc32c == Crc32c::digest(crc);
    fileDownloadProgress(0, 0);
    if (problem.isEmpty()) {
        // The whole file is there: nothing is left to resume.
        m_record.ranges.clear();
        m_offset = 0;
        m_received = m_record.size;
    } else {
        qCInfo(lcUpdate) << "A range failed:" << problem;
        keepRanges();
    }
    stopRanges();
    endTransfer(problem, true, matches);
}

QList<RangePlan::Progress> ChromeDownloader::rangeProgress(bool written) const
{
    QList<RangePlan::Progress> progress;
    for (const PartialDownload::Range &range : std::as_const(m_record.ranges)) {
        RangePlan::Progress p { range.kept, 0, false };
        for (const RangeFetch *fetch : std::as_const(m_ranges)) {
            if (fetch->from() == range.from)
                p = { written ? fetch->written() : fetch->kept().kept, 0, fetch->refused() };
        }
        progress.append(p);
    }
    return progress;
}

void ChromeDownloader::keepRanges()
{
    // Each range keeps what reached the disk; the next try asks each only for its rest.
    m_record = RangePlan::keep(m_record, rangeProgress(false));
    if (m_record.ranges.isEmpty()) {
        m_received = 0;
        m_offset = m_record.kept;
    }
}

void ChromeDownloader::checkpointRanges()
{
    // A run that is killed never says what its ranges got: every sixteenth of the file, the
    // record notes what each has surely written, so a restart asks only for the rest. One
    // stream needs no such note: its part is the file's first bytes, as long as it is.
    const qint64 progress = m_rangeKept + rangesReceived();
    if (!m_partial || m_ranges.isEmpty()
        || !RangePlan::checkpointDue(progress, m_checkpointed, m_record.size))
        return;
    m_checkpointed = progress;
    m_partial->save(RangePlan::checkpoint(m_record, rangeProgress(true)));
}

bool ChromeDownloader::saveKept()
{
    if (m_record.ranges.isEmpty()) {
        // One stream keeps what lies unbroken from byte 0; the rest of the file goes.
        m_offset += m_received;
        m_received = 0;
        m_record.kept = m_offset;
        if (!m_downloadFile->resize(m_offset))
            return false;
    }
    return !m_partial || m_partial->save(m_record);
}

void ChromeDownloader::stopRanges()
{
    for (RangeFetch *fetch : std::as_const(m_ranges)) {
        // Stopped now, so that nothing writes into the file after this; deleted once out of
        // its own calls.
        fetch->disconnect(this);
        fetch->halt();
        fetch->deleteLater();
    }
    m_ranges.clear();
    m_rangeCrcs.clear();
    m_rangeError.clear();
}

void ChromeDownloader::askForPublishedBuild(const QString &notFound)
{
    // The newest build is often named before its archive is uploaded: that is no failure
    // of ours, and an earlier build may well be newer than the installed one.
    m_trickleWindow.stop();
    removeDownload();
    m_notFoundError = notFound;
    m_listing->findNewest(m_series, m_requestedBuild);
}

void ChromeDownloader::listingAnswered(bool answered, const BuildListing::Object &newest)
{
    if (!answered) {
        // Without the listing we know no better than the 404 itself.
        abandonTransfer(m_notFoundError);
        return;
    }
    qCInfo(lcUpdate) << "Build" << m_requestedBuild << "is not published yet; newest published"
                     << newest.build;
    m_published = newest;
    setLastError(QString());
    setStatus(IdleStatus);
    returnFreedMemory();
    emit notPublished(m_requestedBuild, newest.build);
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
    const QVariant announced = reply->header(QNetworkRequest::ContentLengthHeader);
    if (announced.isValid() && announced.toLongLong() != m_received)
        return tr("Download failed: received %1 of %2 bytes")
            .arg(m_received)
            .arg(announced.toLongLong());
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
        m_partial->forget();
        m_partial.reset();
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

void ChromeDownloader::abandonTransfer(const QString &error, bool keepPart)
{
    m_trickleWindow.stop();
    removeDownload(keepPart);
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

void ChromeDownloader::removeDownload(bool keepPart)
{
    m_retryTimer.stop();
    stopRanges();
    if (m_sink->isBusy())
        m_sink->waitForWrites();
    if (m_downloadFile) {
        m_downloadFile->close();
        if (!keepPart)
            m_downloadFile->remove();
        delete m_downloadFile;
        m_downloadFile = nullptr;
    }
    // A kept part stays in its staging directory, with its record.
    if (m_downloadDir && m_partial && keepPart)
        m_downloadDir->setAutoRemove(false);
    m_partial.reset();
    m_downloadDir.reset();
    m_offset = 0;
    m_received = 0;
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

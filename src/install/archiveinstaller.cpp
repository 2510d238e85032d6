#include "install/archiveinstaller.h"

#include "common/updatelog.h"
#include "install/treeremoval.h"
#include "settings/buildpins.h"
#include "settings/config.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtConcurrent/QtConcurrentRun>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#endif
#ifdef Q_OS_UNIX
#include <csignal>
#include <unistd.h>
#endif

namespace {

// Beside the build's own files, where it goes with the build.
const QString versionFile = QStringLiteral("/.tarrowin-version");

// The unpacked files reach the disk before `current` points at them: after a crash or a
// power cut the browser must not be left with empty files.
void flushToDisk(const QString &tree)
{
#ifdef Q_OS_LINUX
    const int fd = ::open(QFile::encodeName(tree).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
#else
    Q_UNUSED(tree)
#endif
}

} // namespace

ArchiveInstaller::ArchiveInstaller(const InstallRoot &root, QObject *parent)
    : QObject(parent)
    , m_root(root)
    , m_verifyLimit(new QTimer(this))
{
    m_verifyLimit->setSingleShot(true);
    connect(m_verifyLimit, &QTimer::timeout, this, [this] {
        qCWarning(lcUpdate) << "The new build did not report its version in time";
        stopVerifier();
        finish(false, failure(tr("The new build did not start: it did not answer in time")));
    });
    connect(&m_unpacking, &QFutureWatcher<ArchiveUnpacker::Result>::finished, this,
            &ArchiveInstaller::unpacked);
}

ArchiveInstaller::~ArchiveInstaller()
{
    // Quitting mid-way: current stays as it was, and the staging directory goes.
    m_cancel = true;
    m_unpacking.disconnect(this);
    m_unpacking.waitForFinished();
    stopVerifier();
    discardStaging();
}

void ArchiveInstaller::install(int build, const QString &archive,
                               std::unique_ptr<QTemporaryDir> staging)
{
    m_build = build;
    m_staging = std::move(staging);
    m_tree = m_staging->filePath(QStringLiteral("tree"));
    m_cancel = false;
    qCInfo(lcUpdate) << "Unpacking" << archive;
    const QString tree = m_tree;
    const std::atomic<bool> *cancel = &m_cancel;
    m_unpacking.setFuture(QtConcurrent::run([archive, tree, cancel] {
        ArchiveUnpacker::Result result = ArchiveUnpacker::unpack(archive, tree, topFolder(),
                                                                 ArchiveUnpacker::Limits(), cancel);
        // The archive has served its purpose; its space is better given back at once.
        QFile::remove(archive);
        if (result.ok)
            flushToDisk(tree);
        return result;
    }));
}

void ArchiveInstaller::installUnpacked(int build, const QString &archive,
                                       std::unique_ptr<QTemporaryDir> staging,
                                       const ArchiveUnpacker::Result &unpacking)
{
    m_build = build;
    m_staging = std::move(staging);
    m_tree = m_staging->filePath(QStringLiteral("tree"));
    m_cancel = false;
    qCInfo(lcUpdate) << "Unpacked" << archive << "as it arrived";
    m_unpacking.setFuture(QtConcurrent::run([archive, tree = m_tree, unpacking] {
        QFile::remove(archive);
        if (unpacking.ok)
            flushToDisk(tree);
        return unpacking;
    }));
}

QString ArchiveInstaller::notUnpacked(const QString &cause)
{
    return tr("The download could not be unpacked: %1").arg(cause);
}

void ArchiveInstaller::unpacked()
{
    const ArchiveUnpacker::Result result = m_unpacking.result();
    if (!result.ok) {
        finish(false, notUnpacked(result.error));
        return;
    }
    qCInfo(lcUpdate) << "Unpacked" << result.entries << "entries," << result.bytes << "bytes";

    // The unpacked browser is its own installer's exit code: it must at least start and
    // say which version it is before anyone is switched to it.
    m_verifier = new QProcess(this);
    m_verifierOutput.clear();
    m_verifierErrors.clear();
    connect(m_verifier, &QProcess::readyReadStandardOutput, this,
            &ArchiveInstaller::readVerifierOutput);
    connect(m_verifier, &QProcess::readyReadStandardError, this,
            &ArchiveInstaller::readVerifierOutput);
    connect(m_verifier, &QProcess::finished, this, &ArchiveInstaller::verified);
    connect(m_verifier, &QProcess::errorOccurred, this, &ArchiveInstaller::verifyError);
#ifdef Q_OS_UNIX
    // A group of its own, so that giving up ends whatever the browser started as well.
    m_verifier->setChildProcessModifier([] { ::setpgid(0, 0); });
#endif
    m_verifyLimit->start(m_verifyTimeout);
    m_verifier->start(m_tree + QStringLiteral("/chrome"), { QStringLiteral("--version") });
    m_verifierGroup = m_verifier->processId();
}

void ArchiveInstaller::readVerifierOutput()
{
    // Bounded, whatever the browser prints: the start of its output, the end of its errors.
    const QByteArray output = m_verifier->readAllStandardOutput();
    m_verifierOutput += output.left(verifierOutputLimit - m_verifierOutput.size());
    m_verifierErrors += m_verifier->readAllStandardError();
    if (m_verifierErrors.size() > verifierOutputLimit)
        m_verifierErrors = m_verifierErrors.right(verifierOutputLimit);
}

QString ArchiveInstaller::failure(const QString &cause) const
{
    const QByteArray errors = m_verifierErrors.trimmed();
    const QString lastLine = printable(errors.mid(errors.lastIndexOf('\n') + 1), 200);
    return lastLine.isEmpty() ? cause : cause + QStringLiteral(": ") + lastLine;
}

QString ArchiveInstaller::printable(const QByteArray &text, qsizetype maximum)
{
    QString result;
    for (const QChar c : QString::fromUtf8(text)) {
        if (result.size() == maximum)
            break;
        if (c.isPrint())
            result.append(c);
    }
    return result.trimmed();
}

QString ArchiveInstaller::version(int build) const
{
    QFile file(m_root.versionPath(build) + versionFile);
    return file.open(QIODevice::ReadOnly) ? printable(file.read(4 * versionLength), versionLength)
                                          : QString();
}

void ArchiveInstaller::verified(int exitCode, QProcess::ExitStatus exitStatus)
{
    stopVerifier();
    if (exitStatus != QProcess::NormalExit || exitCode != 0) {
        qCWarning(lcUpdate) << "chrome --version"
                            << (exitStatus == QProcess::NormalExit ? "exited with" : "crashed with")
                            << exitCode;
        finish(false,
               failure(exitStatus == QProcess::NormalExit
                           ? tr("The new build did not start: exit code %1").arg(exitCode)
                           : tr("The new build did not start: it crashed")));
        return;
    }
    activate();
}

void ArchiveInstaller::verifyError(QProcess::ProcessError error)
{
    // Only a failed start is not followed by finished().
    if (error != QProcess::FailedToStart || !m_verifier)
        return;
    const QString reason = m_verifier->errorString();
    stopVerifier();
    finish(false, tr("The new build did not start: %1").arg(reason));
}

void ArchiveInstaller::activate()
{
    QString error;
    const QString version
        = printable(m_verifierOutput.left(m_verifierOutput.indexOf('\n')), versionLength);
    // Already the one in use (the settings were lost, say): nothing to switch.
    const bool inUse = m_root.currentBuild() == m_build;
    QFile file((inUse ? m_root.versionPath(m_build) : m_tree) + versionFile);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Truncate) || file.write(version.toUtf8()) < 0)
        qCWarning(lcUpdate) << "Could not keep the version of build" << m_build;
    file.close();
    if (!m_placeInto.isEmpty()) {
        placeInto(version);
        return;
    }
    if (!m_makeCurrent) {
        placeBeside(version);
        return;
    }
    if (!inUse && !m_root.activate(m_build, m_tree, &error)) {
        finish(false, tr("The new build could not be put in place: %1").arg(error));
        return;
    }
    emit madeCurrent(m_build);
    m_root.removeUnusedVersions();
    finish(true, QString(), version);
}

void ArchiveInstaller::placeBeside(const QString &version)
{
    // Pinned first: the sweep that follows keeps only what it is told to.
    QString error;
    const QString unsaved = BuildPins::setPinned(m_build, true);
    if (!unsaved.isEmpty())
        error = tr("Cannot save settings to %1").arg(unsaved);
    else if (m_root.currentBuild() != m_build && !m_root.place(m_build, m_tree, &error))
        error = tr("The new build could not be put in place: %1").arg(error);
    if (!error.isEmpty()) {
        finish(false, error);
        return;
    }
    m_root.removeUnusedVersions();
    finish(true, QString(), version);
}

void ArchiveInstaller::placeInto(const QString &version)
{
    // A tree already there is an earlier fetch of the same build: it goes, this one is checked.
    const QString target = m_placeInto + QLatin1Char('/') + QString::number(m_build);
    if (QFileInfo::exists(target) && !QDir(target).removeRecursively()) {
        finish(false, tr("The new build could not be put in place: %1").arg(target));
        return;
    }
    // A link there could lead the build anywhere.
    if (QFileInfo(m_placeInto).isSymLink() || !QDir().mkpath(m_placeInto)
        || !QDir().rename(m_tree, target)) {
        finish(false, tr("The new build could not be put in place: %1").arg(target));
        return;
    }
    finish(true, QString(), version);
}

void ArchiveInstaller::stopVerifier()
{
    m_verifyLimit->stop();
    if (!m_verifier)
        return;
    // What it wrote is kept for the outcome, however the check ended.
    readVerifierOutput();
    m_verifier->disconnect(this);
#ifdef Q_OS_UNIX
    // Whatever the leader did, what it started goes with the check, also when it exited at
    // once and left its children running. Its group id is not reused while the group has a
    // member, and the check ends as soon as the leader is reaped.
    if (m_verifierGroup > 0)
        ::kill(-pid_t(m_verifierGroup), SIGKILL);
#endif
    m_verifierGroup = 0;
    if (m_verifier->state() != QProcess::NotRunning) {
        m_verifier->kill();
        m_verifier->waitForFinished(5000);
    }
    m_verifier->deleteLater();
    m_verifier = nullptr;
}

// A build that failed its check is still in it, thousands of files maybe: they go off this
// thread.
void ArchiveInstaller::discardStaging()
{
    if (!m_staging)
        return;
    m_staging->setAutoRemove(false);
    TreeRemoval::removeLater(m_staging->path());
    m_staging.reset();
}

void ArchiveInstaller::finish(bool succeeded, const QString &error, const QString &version)
{
    discardStaging();
    m_tree.clear();
    emit finished(succeeded, error, version);
}

bool ArchiveInstaller::goBack(QString *error)
{
    const int left = m_root.currentBuild();
    if (!m_root.goBack(error))
        return false;
    const QString unsaved = Config::save(
        { { Config::CurrentBuild, m_root.currentBuild() }, { Config::SkippedBuild, left } });
    *error = unsaved.isEmpty() ? QString() : tr("Cannot save settings to %1").arg(unsaved);
    return true;
}

#include "shell/buildactions.h"

#include "browser/browserlauncher.h"
#include "browser/singletonlock.h"
#include "common/descriptortree.h"
#include "install/installroot.h"

#include <QFileInfo>
#include <QRegularExpression>

#include <utility>

BuildActions::BuildActions(QObject *parent)
    : QObject(parent)
{
    connect(&m_profileWatch, &QFileSystemWatcher::directoryChanged, this,
            &BuildActions::profileChanged);
}

void BuildActions::refresh()
{
    m_builds.refresh();
}

QString BuildActions::describe(int number, const QString &version, const QDateTime &installed,
                               qint64 size, bool current, bool pinned, bool running)
{
    QStringList marks;
    if (current)
        marks << tr("current");
    if (pinned)
        marks << tr("pinned");
    if (running)
        marks << tr("in use");
    // "Chromium 133.0.6905.0 snapshot" says no more than its number in a row this narrow.
    static const QRegularExpression dotted(QStringLiteral("\\b\\d+(\\.\\d+){3}\\b"));
    const QRegularExpressionMatch match = dotted.match(version);
    QStringList first { QString::number(number) };
    if (!version.isEmpty())
        first << (match.hasMatch() ? match.captured() : version);
    first << (size < 0 ? QStringLiteral("…") : tr("%1 MB").arg((size + 500000) / 1000000));
    QStringList second;
    if (installed.isValid())
        second << installed.toUTC().toString(QStringLiteral("yyyy-MM-dd"));
    second << marks.join(QStringLiteral(", "));
    return first.join(QStringLiteral("  ")) + QLatin1Char('\n')
        + second.join(QStringLiteral("  ")).trimmed();
}

void BuildActions::start(int build)
{
    const InstallRoot root(InstallRoot::defaultPath());
    if (build == root.currentBuild()) {
        watchProfile();
        return say(BrowserLauncher::start(root, {}) ? QString()
                                                    : tr("Could not start the browser"));
    }
    const QString refused = refusal(root, build);
    say(refused);
    if (refused.isEmpty())
        emit startRequested(build);
}

void BuildActions::launch(int build)
{
    const InstallRoot root(InstallRoot::defaultPath());
    // The question may have waited a while: what holds the profile now counts.
    if (const QString refused = refusal(root, build); !refused.isEmpty())
        return say(refused);
    watchProfile();
    say(BrowserLauncher::start(root, {}, build) ? QString() : tr("Could not start the browser"));
}

QString BuildActions::refusal(const InstallRoot &root, int build) const
{
    const QString chrome = root.versionPath(build) + QStringLiteral("/chrome");
    if (build < 0 || !QFileInfo(chrome).isExecutable())
        return tr("Build %1 is not installed").arg(build);
#ifdef Q_OS_LINUX
    const SingletonLock lock(BrowserLauncher::profile());
    if (!lock.held())
        return QString();
    const DescriptorTree::Fd process(lock.pid() > 0 ? SingletonLock::openProcess(lock.pid()) : -1);
    if (process.valid()
        && SingletonLock::browserExecutable(process.get()) == QFileInfo(chrome).canonicalFilePath())
        return QString();
    return tr("Quit Chromium first: build %1 cannot open the profile while another build "
              "has it open")
        .arg(build);
#else
    return QString();
#endif
}

void BuildActions::watchProfile()
{
    const QString profile = BrowserLauncher::profile();
    // The browser makes the folder when it first starts: its parent tells when.
    const QString watched = QFileInfo(profile).isDir() ? profile : QFileInfo(profile).path();
    if (m_profileWatch.directories() != QStringList { watched }) {
        if (!m_profileWatch.directories().isEmpty())
            m_profileWatch.removePaths(m_profileWatch.directories());
        m_profileWatch.addPath(watched);
    }
}

void BuildActions::profileChanged()
{
    // Most changes are the browser's own files; only a lock taken or let go changes the list.
    const SingletonLock lock(BrowserLauncher::profile());
    const qint64 lockedBy = lock.held() ? lock.pid() : 0;
    watchProfile();
    if (std::exchange(m_lockedBy, lockedBy) != lockedBy)
        m_builds.refresh();
}

void BuildActions::makeCurrent(int build)
{
    InstallRoot root(InstallRoot::defaultPath());
    QString error;
    if (!root.setPrevious(build, &error))
        return say(error);
    say(QString());
    emit goBackRequested(build);
}

void BuildActions::setPinned(int build, bool pinned)
{
    say(m_builds.setPinned(build, pinned));
}

void BuildActions::remove(int build)
{
    say(m_builds.remove(build));
}

void BuildActions::install(const QString &wanted)
{
    if (m_job)
        return;
    if (wanted.trimmed().isEmpty())
        return say(tr("Give a build number, a version, a milestone (M131) or a date"));
    m_job = new BuildJob(this);
    // A note, an error or "Build N is installed": the last line is the outcome.
    connect(m_job, &BuildJob::output, this, [this](const QString &line) { say(line); });
    connect(m_job, &BuildJob::finished, this, [this] {
        m_job->deleteLater();
        m_job = nullptr;
        emit installingChanged();
        m_builds.refresh();
    });
    emit installingChanged();
    say(tr("Installing %1 ...").arg(wanted.trimmed()));
    m_job->start(BuildJob::InstallBuild, wanted.trimmed());
}

void BuildActions::say(const QString &line)
{
    if (line == m_message)
        return;
    m_message = line;
    emit messageChanged();
}

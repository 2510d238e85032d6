#include "update/updatecontroller.h"

#include "settings/config.h"

#include <QDeadlineTimer>

namespace {

// How long Exit waits for an installation before quitting anyway.
constexpr int exitWaitLimit = 600000;

int storedNumber(Config::Key key)
{
    bool number = false;
    const int value = Config::get(key).toInt(&number);
    return number ? value : Config::defaultValue(key).toInt();
}

// Read afresh each time: the check box may have changed it since.
bool notificationsOn()
{
    return Config::get(Config::ShowNotifications).toString() == QLatin1String("true");
}

// Why a check found no build, for the status line; empty when it found one, or had nothing
// to ask.
QString checkFailureText(int latest, int status, const QString &reason)
{
    if (latest > 0 || (status == 0 && reason.isEmpty()))
        return QString();
    if (status == 0)
        return UpdateController::tr("Cannot reach the build storage: %1").arg(reason);
    if (status < 200 || status > 299)
        return UpdateController::tr("The build storage answered %1").arg(status);
    return UpdateController::tr("The build storage answered without a build number");
}

// The one piece of mutable global state here: the test seam for the clock.
qint64 (*&clockSeam())()
{
    static qint64 (*now)() = nullptr;
    return now;
}

qint64 now()
{
    return clockSeam() ? clockSeam()() : QDeadlineTimer::current().deadline();
}

// Whether a moment recorded by now() (-1 for never) lies less than period ago.
bool within(qint64 since, qint64 period)
{
    return since != -1 && now() - since < period;
}

} // namespace

void UpdateController::setClock(qint64 (*source)())
{
    clockSeam() = source;
}

UpdateController::UpdateController(QObject *parent)
    : QObject(parent)
{
    m_exitLimit.setSingleShot(true);
    connect(&m_exitLimit, &QTimer::timeout, this, &UpdateController::quitRequested);
}

void UpdateController::checkNow()
{
    m_userAsked = true;
    emit checkRequested();
}

void UpdateController::checkCompleted(int latest, int failureStatus, const QString &failureReason)
{
    // The checks are the program's only clock while it idles: a reminder needs no timer.
    remindRelaunch(false);
    const QString failure = checkFailureText(latest, failureStatus, failureReason);
    // One warning per outage: later checks that fail too say nothing new, and the first
    // check that finds a build ends the outage.
    const bool outageBegins = m_checkFailure.isEmpty() && !failure.isEmpty();
    if (failure != m_checkFailure) {
        // An outage that ended is no news any more, even if its notice could not be shown.
        if (failure.isEmpty() && m_lostNotice == m_checkFailure)
            m_lostNotice.clear();
        m_checkFailure = failure;
        emit statusLineChanged();
    }
    if (outageBegins && notificationsOn())
        notice(failure, tr("Cannot check for Chromium builds"), WarningNotice, 10000);

    const bool userAsked = m_userAsked;
    m_userAsked = false;
    ++m_checksSinceFailure;
    m_checksAtDecision = m_checksSinceFailure;
    m_userAskedAtDecision = userAsked;
    if (!m_substitute.isEmpty()) {
        m_substitute.clear();
        emit statusLineChanged();
    }
    if (!UpdatePolicy::shouldDownload(latest, records(), m_checksSinceFailure, userAsked,
                                      m_checkPeriod)) {
        // Nothing to fetch now, so nothing waits for a free connection either.
        if (m_waitingBuild != -1) {
            m_waitingBuild = -1;
            emit statusLineChanged();
        }
        return;
    }
    requestDownload(latest);
}

void UpdateController::buildNotPublished(int build, int newest)
{
    const int instead = UpdatePolicy::publishedInstead(build, newest, records(), m_checksAtDecision,
                                                       m_userAskedAtDecision, m_checkPeriod);
    if (instead == -1)
        return;
    m_substitute = tr("Build %1 is not published yet; installing build %2").arg(build).arg(instead);
    emit statusLineChanged();
    requestDownload(instead);
}

UpdatePolicy::Records UpdateController::records() const
{
    return { m_currentBuild, storedNumber(Config::SkippedBuild), storedNumber(Config::FailedBuild),
             storedNumber(Config::FailedAttempts) };
}

void UpdateController::requestDownload(int build)
{
    m_checksSinceFailure = 0;
    // Checks go on over a metered link, but the archive waits for a free one. The first
    // check may end before NetworkManager has said which kind the link is.
    if (!m_meteredKnown || UpdatePolicy::downloadWaits(m_metered, m_downloadOnMetered)) {
        if (m_waitingBuild != build) {
            m_waitingBuild = build;
            emit statusLineChanged();
        }
        return;
    }
    if (m_waitingBuild != -1) {
        m_waitingBuild = -1;
        emit statusLineChanged();
    }
    m_requestedBuild = build;
    emit downloadRequested(build);
}

void UpdateController::setMetered(bool metered)
{
    if (metered == m_metered)
        return;
    m_metered = metered;
    emit meteredChanged();
    releaseWaitingDownload();
    holdRunningDownload();
}

void UpdateController::setDownloadOnMetered(bool allowed)
{
    if (allowed == m_downloadOnMetered)
        return;
    m_downloadOnMetered = allowed;
    emit downloadOnMeteredChanged();
    releaseWaitingDownload();
    holdRunningDownload();
}

void UpdateController::setMeteredKnown(bool known)
{
    if (known == m_meteredKnown)
        return;
    m_meteredKnown = known;
    emit meteredChanged();
    releaseWaitingDownload();
}

void UpdateController::releaseWaitingDownload()
{
    // Whether it waits for a free connection shows in the status line.
    if (m_waitingBuild != -1)
        emit statusLineChanged();
    if (m_waitingBuild != -1 && m_meteredKnown
        && !UpdatePolicy::downloadWaits(m_metered, m_downloadOnMetered))
        requestDownload(m_waitingBuild);
}

void UpdateController::holdRunningDownload()
{
    // A transfer under way when the link becomes metered stops where it is, and the build
    // waits like one not started yet: it goes on from its part once it may.
    if (m_status != Downloading || !UpdatePolicy::downloadWaits(m_metered, m_downloadOnMetered))
        return;
    m_waitingBuild = m_requestedBuild;
    emit statusLineChanged();
    emit pauseRequested();
}

void UpdateController::downloadStatusChanged(int status)
{
    m_status = status;
    emit statusLineChanged();
    if (m_exiting && status == Idle) {
        emit quitRequested();
        return;
    }
    if (!notificationsOn())
        return;
    // A download is said once its archive answers: see downloadAnswered().
    if (status == Installing)
        notice(tr("Installing Chromium build %1.").arg(m_requestedBuild), tr("Installing ..."),
               InfoNotice, 5000);
}

void UpdateController::downloadAnswered(int build)
{
    if (notificationsOn())
        notice(tr("Downloading Chromium build %1.").arg(build), tr("Downloading ..."), InfoNotice,
               5000);
}

void UpdateController::installationFailed(int build, const QString &error)
{
    // An attempt that failed while asked to pause (it was asking for a substitute) is not
    // resumed once the link is free: the back-off decides when it is tried again.
    if (build == m_waitingBuild) {
        m_waitingBuild = -1;
        emit statusLineChanged();
    }
    const bool repeated = storedNumber(Config::FailedBuild) == build;
    Config::set(Config::FailedBuild, build);
    Config::set(Config::FailedAttempts, repeated ? storedNumber(Config::FailedAttempts) + 1 : 1);
    m_checksSinceFailure = 0;
    // Once per failed build: a retry that fails the same way says nothing new.
    if (!repeated && notificationsOn())
        notice(error, tr("Chromium build %1 was not installed").arg(build), WarningNotice, 10000);
}

void UpdateController::installedBuildChanged()
{
    Config::remove(Config::FailedBuild);
    Config::remove(Config::FailedAttempts);
}

void UpdateController::installationSucceeded(int build, const QString &version)
{
    // With a browser still running from an older build, the relaunch notice says the build is
    // in, once: the build switch may have brought it already.
    if (m_browserOutdated)
        remindRelaunch(true);
    if (m_browserOutdated || !notificationsOn())
        return;
    notice(version.isEmpty() ? tr("Chromium build %1 is installed.").arg(build) : version,
           tr("Chromium build %1 is installed").arg(build), InfoNotice, 5000);
}

void UpdateController::sandboxBlocked(int restriction)
{
    const bool fixable = restriction == AppArmorRestriction;
    if (fixable != m_sandboxFixable) {
        m_sandboxFixable = fixable;
        emit sandboxFixableChanged();
    }
    if (m_sandboxWarned || !notificationsOn())
        return;
    m_sandboxWarned = true;
    // The kernel's own switches are the administrator's to lift; the README says how.
    QString text = tr("Chromium's sandbox is blocked on this system");
    if (restriction == UsernsCloneOff)
        text = tr("Chromium's sandbox is blocked on this system: kernel.unprivileged_userns_clone "
                  "is 0 (see Tarrowin's README)");
    else if (restriction == NoUserNamespaces)
        text = tr("Chromium's sandbox is blocked on this system: user.max_user_namespaces is 0 "
                  "(see Tarrowin's README)");
    if (fixable)
        notice(text, tr("Chromium (snapshot)"), WarningNotice, 10000,
               QStringLiteral("allowsandbox"), tr("Allow Chromium's sandbox\u2026"));
    else
        notice(text, tr("Chromium (snapshot)"), WarningNotice, 10000);
}

void UpdateController::sandboxAllowed(bool allowed, const QString &message)
{
    if (allowed && m_sandboxFixable) {
        m_sandboxFixable = false;
        emit sandboxFixableChanged();
    }
    // Said whatever the notification setting: the user has just asked.
    if (allowed)
        notice(tr("Chromium can now sandbox itself."), tr("Chromium's sandbox is allowed"),
               InfoNotice, 5000);
    else
        notice(message, tr("Chromium's sandbox is still blocked"), WarningNotice, 10000);
}

void UpdateController::noticeLost(const QString &text)
{
    m_lostNotice = text;
    m_lostNoticeSeen = m_windowVisible;
    emit statusLineChanged();
}

void UpdateController::setWindowVisible(bool visible)
{
    if (visible == m_windowVisible)
        return;
    m_windowVisible = visible;
    emit windowVisibleChanged();
    // Read once the window was open; it goes when the window does.
    if (visible) {
        m_lostNoticeSeen = !m_lostNotice.isEmpty();
    } else if (m_lostNoticeSeen) {
        m_lostNotice.clear();
        m_lostNoticeSeen = false;
        emit statusLineChanged();
    }
}

void UpdateController::exit()
{
    if (m_exiting || m_status != Installing) {
        emit quitRequested();
        return;
    }
    m_exiting = true;
    emit statusLineChanged();
    m_exitLimit.start(exitWaitLimit);
    emit windowRequested();
}

int UpdateController::largestCount(qint64 factor) const
{
    return UpdatePolicy::largestCount(factor);
}

int UpdateController::timeFrameIndex(const QVariant &stored, int count) const
{
    return UpdatePolicy::timeFrameIndex(stored, count);
}

void UpdateController::setLastError(const QString &error)
{
    if (error == m_lastError)
        return;
    m_lastError = error;
    emit statusLineChanged();
}

void UpdateController::setMirrorOnly(bool mirrorOnly)
{
    if (mirrorOnly == m_mirrorOnly)
        return;
    m_mirrorOnly = mirrorOnly;
    emit statusLineChanged();
}

QString UpdateController::statusLine() const
{
    if (m_exiting)
        return tr("Finishing the installation of build %1 \u2026").arg(m_requestedBuild);
    if (m_status == Idle && m_waitingBuild != -1
        && UpdatePolicy::downloadWaits(m_metered, m_downloadOnMetered))
        return tr("Waiting for an unmetered connection");
    if (m_status == Idle && !m_lostNotice.isEmpty())
        return m_lostNotice;
    if (m_status == Idle && !m_relaunchStatus.isEmpty())
        return m_relaunchStatus;
    // A failed check is newer than any failed installation: a build is only fetched after
    // a check found it.
    if (m_status == Idle && !m_checkFailure.isEmpty())
        return m_checkFailure;
    if (m_status == Idle && !m_lastError.isEmpty())
        return m_lastError;
    if (m_status != Idle && !m_substitute.isEmpty())
        return m_substitute;
    if (m_mirrorOnly && m_status == Downloading)
        return tr("Downloading, checked against the mirror only");
    if (m_mirrorOnly && m_status == Installing)
        return tr("Installing, checked against the mirror only");
    if (m_mirrorOnly)
        return tr("Build %1 was checked against the mirror only").arg(m_currentBuild);
    return statusText(m_status);
}

QString UpdateController::statusText(int status)
{
    if (status == Idle)
        return tr("Idle");
    if (status == Downloading)
        return tr("Downloading");
    return tr("Installing");
}

QString UpdateController::toolTip(int build, const QString &version)
{
    if (build == -1)
        return tr("Tarrowin (No Chromium build installed yet)");
    if (version.isEmpty())
        return tr("Tarrowin (Chromium build %1)").arg(build);
    return tr("Tarrowin (Chromium build %1: %2)").arg(build).arg(version);
}

QVariantList UpdateController::trayMenu(int previousBuild, int currentBuild, bool sandboxFixable,
                                        bool browserOutdated)
{
    const auto entry = [](const char *name, const QString &label = QString()) {
        return QVariantMap { { QStringLiteral("name"), QString::fromLatin1(name) },
                             { QStringLiteral("label"), label } };
    };
    QVariantMap open = entry("restore", tr("&Open"));
    open.insert(QStringLiteral("default"), true);
    QVariantList entries { open, entry("settings", tr("&Settings")) };
    // After going back, the build before is the newer one: the way there is no going back.
    if (previousBuild != -1)
        entries.append(entry("goback",
                             previousBuild < currentBuild
                                 ? tr("Go back to build %1").arg(previousBuild)
                                 : tr("Return to build %1").arg(previousBuild)));
    if (browserOutdated)
        entries.append(entry("relaunch", tr("Relaunch Chromium")));
    if (sandboxFixable)
        entries.append(entry("allowsandbox", tr("Allow Chromium's sandbox\u2026")));
    entries.append(entry("separator"));
    entries.append(entry("quit", tr("&Exit")));
    return entries;
}

void UpdateController::notice(const QString &text, const QString &title, NoticeType type,
                              int timeout, const QString &action, const QString &actionLabel,
                              const QStringList &moreActions)
{
    m_lastNotice = now();
    m_lastNoticeTimeout = timeout;
    emit noticeRequested(text, title, type, timeout, action, actionLabel, moreActions);
}

bool UpdateController::noticeUp() const
{
    return within(m_lastNotice, m_lastNoticeTimeout);
}

void UpdateController::setBrowserOutdated(bool outdated)
{
    if (outdated == m_browserOutdated)
        return;
    m_browserOutdated = outdated;
    emit browserOutdatedChanged();
    if (outdated) {
        remindRelaunch(true);
    } else if (!m_relaunchStatus.isEmpty()) {
        // However the old browser went, there is nothing left to say about it.
        m_relaunchStatus.clear();
        emit statusLineChanged();
    }
}

void UpdateController::remindRelaunch(bool newBuild)
{
    newBuild = newBuild && m_currentBuild != m_relaunchNoticeBuild;
    m_relaunchPostponed = m_relaunchPostponed && !newBuild;
    if (!m_browserOutdated || m_relaunchPostponed || m_currentBuild == -1 || !notificationsOn())
        return;
    // A new build's notice takes the place of the "installed" one; a reminder waits its turn.
    if (!newBuild
        && (m_windowVisible || noticeUp() || within(m_lastRelaunchNotice, relaunchReminderPeriod)))
        return;
    m_lastRelaunchNotice = now();
    m_relaunchNoticeBuild = m_currentBuild;
    notice(tr("Chromium build %1 is installed. Relaunch Chromium to use it.").arg(m_currentBuild),
           tr("Chromium (snapshot)"), InfoNotice, 10000, QStringLiteral("relaunch"), tr("Relaunch"),
           { QStringLiteral("notnow"), tr("Not now") });
}

void UpdateController::askBeforeGoingBack(int build, const QString &question,
                                          const QString &restoreLabel)
{
    // Asked whatever the notification setting: the user has just chosen to go back. It stays
    // until answered; closing it is no answer, and nothing happens.
    const QString title = tr("Go back to build %1?").arg(build);
    const QStringList cancel { QStringLiteral("cancel"), tr("Cancel") };
    if (restoreLabel.isEmpty())
        notice(question, title, WarningNotice, 0, QStringLiteral("openanyway"), tr("Open anyway"),
               cancel);
    else
        notice(question, title, WarningNotice, 0, QStringLiteral("restoreprofile"), restoreLabel,
               QStringList { QStringLiteral("openanyway"), tr("Open anyway") } + cancel);
}

void UpdateController::offerProfileCopy()
{
    if (m_profileCopyOffered || !notificationsOn())
        return;
    m_profileCopyOffered = true;
    notice(tr("Chromium (snapshot) keeps a profile of its own. Your Chromium profile can be "
              "copied into it; it stays as it is."),
           tr("Chromium (snapshot)"), InfoNotice, 0, QStringLiteral("copyprofile"),
           tr("Copy my Chromium profile"));
}

void UpdateController::profileCopyProgress(int percent)
{
    browserMessage(percent < 0 ? QString()
                               : tr("Copying your Chromium profile \u2026 %1%").arg(percent));
}

void UpdateController::profileCopied(bool copied, const QString &error)
{
    if (!copied) {
        browserMessage(tr("Your Chromium profile was not copied: %1").arg(error));
        return;
    }
    browserMessage(QString());
    notice(tr("Your Chromium profile was copied."), tr("Chromium (snapshot)"), InfoNotice, 5000);
}

void UpdateController::browserMessage(const QString &message)
{
    if (message == m_relaunchStatus)
        return;
    m_relaunchStatus = message;
    emit statusLineChanged();
}

void UpdateController::relaunchPostponed()
{
    m_relaunchPostponed = true;
}

void UpdateController::relaunchStarted()
{
    m_relaunchStatus = tr("Relaunching Chromium \u2026");
    emit statusLineChanged();
}

void UpdateController::relaunchFinished(bool quit, bool started)
{
    if (!quit)
        m_relaunchStatus
            = tr("Chromium did not quit (a page may ask to stay), so it was not relaunched");
    else if (!started)
        m_relaunchStatus = tr("Chromium quit, but the new build could not be started");
    else
        m_relaunchStatus.clear();
    emit statusLineChanged();
}

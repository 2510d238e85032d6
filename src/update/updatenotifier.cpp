#include "update/updatenotifier.h"

#include "settings/config.h"

#include <QDeadlineTimer>

#include <algorithm>
#include <iterator>
#include <limits>

namespace {

// Each action's name, by its value: the names the tray hands back.
constexpr const char *actionNames[]
    = { "restore",     "settings",     "goback",   "restoreprofile", "openanyway", "cancel",
        "copyprofile", "allowsandbox", "relaunch", "notnow",         "quit" };
static_assert(std::size(actionNames) == UpdateNotifier::Quit + 1);

// Read afresh each time: the check box may have changed it since.
bool notificationsOn()
{
    return Config::get(Config::ShowNotifications).toString() == QLatin1String("true");
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

void UpdateNotifier::setClock(qint64 (*source)())
{
    clockSeam() = source;
}

QString UpdateNotifier::actionName(Action action)
{
    return action == NoAction ? QString() : QString::fromLatin1(actionNames[action]);
}

UpdateNotifier::UpdateNotifier(QObject *parent)
    : QObject(parent)
    , m_noticeUntil(std::numeric_limits<qint64>::min())
{
}

void UpdateNotifier::setLoop(UpdateLoop *loop)
{
    if (loop == m_loop)
        return;
    if (m_loop)
        disconnect(m_loop, nullptr, this, nullptr);
    m_loop = loop;
    if (loop) {
        // The checks are the program's only clock while it idles: a reminder needs no timer.
        connect(loop, &UpdateLoop::checked, this, [this] { remindRelaunch(false); });
        connect(loop, &UpdateLoop::checkFailureChanged, this, &UpdateNotifier::checkFailureChanged);
        connect(loop, &UpdateLoop::outageBegan, this, [this] {
            if (notificationsOn())
                notice(m_checkFailure, tr("Cannot check for Chromium builds"), WarningNotice,
                       10000);
        });
        connect(loop, &UpdateLoop::attemptFailed, this, &UpdateNotifier::attemptFailed);
        connect(loop, &UpdateLoop::downloadStatusChanged, this,
                &UpdateNotifier::downloadStatusChanged);
        for (const auto changed :
             { &UpdateLoop::stateChanged, &UpdateLoop::meteredChanged,
               &UpdateLoop::downloadOnMeteredChanged, &UpdateLoop::currentBuildChanged })
            connect(loop, changed, this, &UpdateNotifier::statusLineChanged);
    }
    m_checkFailure = checkFailureText();
    emit loopChanged();
    emit statusLineChanged();
}

int UpdateNotifier::currentBuild() const
{
    return m_loop ? m_loop->currentBuild() : -1;
}

int UpdateNotifier::downloadStatus() const
{
    return m_loop ? m_loop->downloadStatus() : UpdateLoop::Idle;
}

QString UpdateNotifier::checkFailureText() const
{
    switch (m_loop ? m_loop->checkFailure() : UpdateLoop::NoCheckFailure) {
    case UpdateLoop::NoCheckFailure:
        return QString();
    case UpdateLoop::StorageUnreachable:
        return tr("Cannot reach the build storage: %1").arg(m_loop->failureReason());
    case UpdateLoop::StorageRefused:
        return tr("The build storage answered %1").arg(m_loop->failureStatus());
    case UpdateLoop::NoBuildNumber:
        break;
    }
    return tr("The build storage answered without a build number");
}

void UpdateNotifier::checkFailureChanged()
{
    const QString failure = checkFailureText();
    // An outage that ended is no news any more, even if its notice could not be shown.
    if (failure.isEmpty() && m_lostNotice == m_checkFailure)
        m_lostNotice.clear();
    m_checkFailure = failure;
    emit statusLineChanged();
}

void UpdateNotifier::downloadStatusChanged()
{
    emit statusLineChanged();
    // A download is said once its archive answers: see downloadAnswered().
    if (downloadStatus() == UpdateLoop::Installing && notificationsOn())
        notice(tr("Installing Chromium build %1.").arg(m_loop->requestedBuild()),
               tr("Installing ..."), InfoNotice, 5000);
}

void UpdateNotifier::downloadAnswered(int build)
{
    if (notificationsOn())
        notice(tr("Downloading Chromium build %1.").arg(build), tr("Downloading ..."), InfoNotice,
               5000);
}

void UpdateNotifier::attemptFailed(int build, bool repeated)
{
    // Once per failed build: a retry that fails the same way says nothing new. The
    // downloader's reason is its last error, which it sets before it reports the failure.
    if (!repeated && notificationsOn())
        notice(m_lastError, tr("Chromium build %1 was not installed").arg(build), WarningNotice,
               10000);
}

void UpdateNotifier::installationSucceeded(int build, const QString &version)
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

void UpdateNotifier::sandboxBlocked(int restriction)
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
        notice(text, tr("Chromium (snapshot)"), WarningNotice, 10000, AllowSandbox,
               tr("Allow Chromium's sandbox\u2026"));
    else
        notice(text, tr("Chromium (snapshot)"), WarningNotice, 10000);
}

void UpdateNotifier::sandboxAllowed(bool allowed, const QString &message)
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

void UpdateNotifier::noticeLost(const QString &text)
{
    m_lostNotice = text;
    m_lostNoticeSeen = m_windowVisible;
    emit statusLineChanged();
}

void UpdateNotifier::setWindowVisible(bool visible)
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

void UpdateNotifier::setLastError(const QString &error)
{
    if (error == m_lastError)
        return;
    m_lastError = error;
    emit statusLineChanged();
}

void UpdateNotifier::setMirrorOnly(bool mirrorOnly)
{
    if (mirrorOnly == m_mirrorOnly)
        return;
    m_mirrorOnly = mirrorOnly;
    emit statusLineChanged();
}

QString UpdateNotifier::loopLine() const
{
    if (!m_loop)
        return QString();
    if (m_loop->exiting())
        return tr("Finishing the installation of build %1 \u2026").arg(m_loop->requestedBuild());
    const bool idle = downloadStatus() == UpdateLoop::Idle;
    if (idle && m_loop->waiting())
        return tr("Waiting for an unmetered connection");
    if (!idle && m_loop->substituteBuild() != -1)
        return tr("Build %1 is not published yet; installing build %2")
            .arg(m_loop->unpublishedBuild())
            .arg(m_loop->substituteBuild());
    return QString();
}

QString UpdateNotifier::statusLine() const
{
    const QString loopSays = loopLine();
    if (!loopSays.isEmpty())
        return loopSays;
    const int status = downloadStatus();
    if (status == UpdateLoop::Idle && !m_lostNotice.isEmpty())
        return m_lostNotice;
    if (status == UpdateLoop::Idle && !m_relaunchStatus.isEmpty())
        return m_relaunchStatus;
    // A failed check is newer than any failed installation: a build is only fetched after
    // a check found it.
    if (status == UpdateLoop::Idle && !m_checkFailure.isEmpty())
        return m_checkFailure;
    if (status == UpdateLoop::Idle && !m_lastError.isEmpty())
        return m_lastError;
    if (m_mirrorOnly && status == UpdateLoop::Downloading)
        return tr("Downloading, checked against the mirror only");
    if (m_mirrorOnly && status == UpdateLoop::Installing)
        return tr("Installing, checked against the mirror only");
    if (m_mirrorOnly)
        return tr("Build %1 was checked against the mirror only").arg(currentBuild());
    return statusText(status);
}

QString UpdateNotifier::statusText(int status)
{
    if (status == UpdateLoop::Idle)
        return tr("Idle");
    if (status == UpdateLoop::Downloading)
        return tr("Downloading");
    return tr("Installing");
}

QString UpdateNotifier::toolTip(int build, const QString &version)
{
    if (build == -1)
        return tr("Tarrowin (No Chromium build installed yet)");
    if (version.isEmpty())
        return tr("Tarrowin (Chromium build %1)").arg(build);
    return tr("Tarrowin (Chromium build %1: %2)").arg(build).arg(version);
}

QVariantList UpdateNotifier::trayMenu(int previousBuild, int currentBuild, bool sandboxFixable,
                                      bool browserOutdated)
{
    const auto entry = [](const QString &name, const QString &label = QString()) {
        return QVariantMap { { QStringLiteral("name"), name }, { QStringLiteral("label"), label } };
    };
    QVariantMap open = entry(actionName(OpenWindow), tr("&Open"));
    open.insert(QStringLiteral("default"), true);
    QVariantList entries { open, entry(actionName(OpenSettings), tr("&Settings")) };
    // After going back, the build before is the newer one: the way there is no going back.
    if (previousBuild != -1)
        entries.append(entry(actionName(GoBack),
                             previousBuild < currentBuild
                                 ? tr("Go back to build %1").arg(previousBuild)
                                 : tr("Return to build %1").arg(previousBuild)));
    if (browserOutdated)
        entries.append(entry(actionName(Relaunch), tr("Relaunch Chromium")));
    if (sandboxFixable)
        entries.append(entry(actionName(AllowSandbox), tr("Allow Chromium's sandbox\u2026")));
    // The tray's own mark for a line between entries, no action.
    entries.append(entry(QStringLiteral("separator")));
    entries.append(entry(actionName(Quit), tr("&Exit")));
    return entries;
}

void UpdateNotifier::choose(const QString &name)
{
    const auto named = [&name](const char *known) { return name == QLatin1String(known); };
    const auto found = std::find_if(std::begin(actionNames), std::end(actionNames), named);
    if (found == std::end(actionNames))
        return;
    const auto action = Action(found - std::begin(actionNames));
    if (action == NotNow)
        relaunchPostponed();
    else if (action != Cancel)
        emit triggered(action);
}

void UpdateNotifier::notice(const QString &text, const QString &title, NoticeType type, int timeout,
                            Action action, const QString &actionLabel,
                            const QStringList &moreActions)
{
    m_noticeUntil = now() + timeout;
    emit noticeRequested(text, title, type, timeout, actionName(action), actionLabel, moreActions);
}

bool UpdateNotifier::noticeUp() const
{
    return now() < m_noticeUntil;
}

void UpdateNotifier::setBrowserOutdated(bool outdated)
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

void UpdateNotifier::remindRelaunch(bool newBuild)
{
    const int build = currentBuild();
    newBuild = newBuild && build != m_relaunchNoticeBuild;
    m_relaunchPostponed = m_relaunchPostponed && !newBuild;
    if (!m_browserOutdated || m_relaunchPostponed || build == -1 || !notificationsOn())
        return;
    // A new build's notice takes the place of the "installed" one; a reminder waits its turn.
    if (!newBuild
        && (m_windowVisible || noticeUp() || within(m_lastRelaunchNotice, relaunchReminderPeriod)))
        return;
    m_lastRelaunchNotice = now();
    m_relaunchNoticeBuild = build;
    notice(tr("Chromium build %1 is installed. Relaunch Chromium to use it.").arg(build),
           tr("Chromium (snapshot)"), InfoNotice, 10000, Relaunch, tr("Relaunch"),
           { actionName(NotNow), tr("Not now") });
}

void UpdateNotifier::askBeforeGoingBack(int build, const QString &question,
                                        const QString &restoreLabel)
{
    // Asked whatever the notification setting: the user has just chosen to go back. It stays
    // until answered; closing it is no answer, and nothing happens.
    const QString title = tr("Go back to build %1?").arg(build);
    const QStringList cancel { actionName(Cancel), tr("Cancel") };
    if (restoreLabel.isEmpty())
        notice(question, title, WarningNotice, 0, OpenAnyway, tr("Open anyway"), cancel);
    else
        notice(question, title, WarningNotice, 0, RestoreProfile, restoreLabel,
               QStringList { actionName(OpenAnyway), tr("Open anyway") } + cancel);
}

void UpdateNotifier::offerProfileCopy()
{
    if (m_profileCopyOffered || !notificationsOn())
        return;
    m_profileCopyOffered = true;
    notice(tr("Chromium (snapshot) keeps a profile of its own. Your Chromium profile can be "
              "copied into it; it stays as it is."),
           tr("Chromium (snapshot)"), InfoNotice, 0, CopyProfile, tr("Copy my Chromium profile"));
}

void UpdateNotifier::profileCopyProgress(int percent)
{
    browserMessage(percent < 0 ? QString()
                               : tr("Copying your Chromium profile \u2026 %1%").arg(percent));
}

void UpdateNotifier::profileCopied(bool copied, const QString &error)
{
    if (!copied) {
        browserMessage(tr("Your Chromium profile was not copied: %1").arg(error));
        return;
    }
    browserMessage(QString());
    notice(tr("Your Chromium profile was copied."), tr("Chromium (snapshot)"), InfoNotice, 5000);
}

void UpdateNotifier::browserMessage(const QString &message)
{
    if (message == m_relaunchStatus)
        return;
    m_relaunchStatus = message;
    emit statusLineChanged();
}

void UpdateNotifier::relaunchPostponed()
{
    m_relaunchPostponed = true;
}

void UpdateNotifier::relaunchStarted()
{
    m_relaunchStatus = tr("Relaunching Chromium \u2026");
    emit statusLineChanged();
}

void UpdateNotifier::relaunchFinished(bool quit, bool started)
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

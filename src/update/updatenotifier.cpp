#include "update/updatenotifier.h"

#include "settings/config.h"
#include "update/updatewords.h"

#include <algorithm>
#include <iterator>

namespace {

// Each action's name, by its value: the names the tray hands back.
constexpr const char *actionNames[]
    = { "restore",    "settings",    "goback",       "restoreprofile", "openanyway",
        "cancel",     "copyprofile", "allowsandbox", "relaunch",       "stay",
        "follow",     "notnow",      "restorestart", "startanyway",    "quit",
        "bisectgood", "bisectbad",   "bisectskip",   "bisectgoon" };
static_assert(std::size(actionNames) == UpdateNotifier::BisectGoOn + 1);

// Read afresh each time: the check box may have changed it since.
bool notificationsOn()
{
    return Config::get(Config::ShowNotifications).toString() == QLatin1String("true");
}

} // namespace

QString UpdateNotifier::actionName(Action action)
{
    return action == NoAction ? QString() : QString::fromLatin1(actionNames[action]);
}

void UpdateNotifier::setLoop(UpdateLoop *loop)
{
    if (m_loop)
        disconnect(m_loop, nullptr, this, nullptr);
    m_loop = loop;
    if (loop) {
        // The checks are the program's only clock while it idles: a reminder needs no timer.
        connect(loop, &UpdateLoop::checked, this, [this] { remindRelaunch(false); });
        connect(loop, &UpdateLoop::checkFailureChanged, this, &UpdateNotifier::checkFailureChanged);
        connect(loop, &UpdateLoop::stayBuildChanged, this, &UpdateNotifier::statusLineChanged);
        connect(loop, &UpdateLoop::outageBegan, this, [this] {
            if (notificationsOn())
                notice(m_checkFailure, tr("Cannot check for Chromium builds"), WarningNotice);
        });
        connect(loop, &UpdateLoop::attemptFailed, this, &UpdateNotifier::attemptFailed);
        connect(loop, &UpdateLoop::downloadStatusChanged, this,
                &UpdateNotifier::downloadStatusChanged);
        for (const auto changed : { &UpdateLoop::stateChanged, &UpdateLoop::meteredChanged,
                                    &UpdateLoop::downloadOnMeteredChanged,
                                    &UpdateLoop::currentBuildChanged, &UpdateLoop::powerChanged })
            connect(loop, changed, this, &UpdateNotifier::statusLineChanged);
    }
    m_checkFailure = checkFailureText();
    emit loopChanged();
    emit statusLineChanged();
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
    if (downloadStatus() == UpdateLoop::Installing && notificationsOn())
        notice(tr("Installing Chromium build %1.").arg(m_loop->requestedBuild()),
               tr("Installing ..."), InfoNotice);
}

void UpdateNotifier::downloadAnswered(int build)
{
    if (notificationsOn())
        notice(tr("Downloading Chromium build %1.").arg(build), tr("Downloading ..."), InfoNotice);
}

void UpdateNotifier::attemptFailed(int build, bool repeated)
{
    // Once per failed build: a retry that fails the same way says nothing new. The reason is
    // the downloader's last error, which it sets before it reports the failure.
    if (!repeated && notificationsOn())
        notice(m_lastError, tr("Chromium build %1 was not installed").arg(build), WarningNotice);
}

void UpdateNotifier::installationSucceeded(int build, const QString &version)
{
    // With a browser still running from an older build, the relaunch notice says the build is
    // in, once: the build switch may have brought it already.
    if (m_browserOutdated)
        remindRelaunch(true);
    else if (notificationsOn())
        notice(version.isEmpty() ? tr("Chromium build %1 is installed.").arg(build) : version,
               tr("Chromium build %1 is installed").arg(build), InfoNotice);
}

void UpdateNotifier::sandboxBlocked(int restriction)
{
    const bool fixable = restriction == AppArmorRestriction;
    if (std::exchange(m_sandboxFixable, fixable) != fixable)
        emit sandboxFixableChanged();
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
    notice(text, tr("Chromium (snapshot)"), WarningNotice,
           fixable ? Buttons { { AllowSandbox, tr("Allow Chromium's sandbox\u2026") } }
                   : Buttons());
}

void UpdateNotifier::sandboxAllowed(bool allowed, const QString &message)
{
    if (allowed && std::exchange(m_sandboxFixable, false))
        emit sandboxFixableChanged();
    // Said whatever the notification setting: the user has just asked.
    if (allowed)
        notice(tr("Chromium can now sandbox itself."), tr("Chromium's sandbox is allowed"),
               InfoNotice);
    else
        notice(message, tr("Chromium's sandbox is still blocked"), WarningNotice);
}

void UpdateNotifier::noticeLost(const QString &text)
{
    m_lostNotice = text;
    m_lostNoticeSeen = m_windowVisible;
    emit statusLineChanged();
}

void UpdateNotifier::setWindowVisible(bool visible)
{
    if (std::exchange(m_windowVisible, visible) == visible)
        return;
    emit windowVisibleChanged();
    // Read once the window was open; it goes when the window does.
    if (visible) {
        m_lostNoticeSeen = !m_lostNotice.isEmpty();
    } else if (std::exchange(m_lostNoticeSeen, false)) {
        m_lostNotice.clear();
        emit statusLineChanged();
    }
}

void UpdateNotifier::setLastError(const QString &error)
{
    if (std::exchange(m_lastError, error) != error)
        emit statusLineChanged();
}

void UpdateNotifier::setMirrorOnly(bool mirrorOnly)
{
    if (std::exchange(m_mirrorOnly, mirrorOnly) != mirrorOnly)
        emit statusLineChanged();
}

// What the loop's state says before anything else; empty for nothing.
QString UpdateNotifier::loopLine() const
{
    const bool idle = downloadStatus() == UpdateLoop::Idle;
    if (!m_loop)
        return QString();
    if (m_loop->exiting())
        return tr("Finishing the installation of build %1 \u2026").arg(m_loop->requestedBuild());
    if (idle && m_loop->waiting())
        return m_loop->heldByBattery() ? tr("Waiting for mains power")
                                       : tr("Waiting for an unmetered connection");
    if (!idle && m_loop->substituteBuild() != -1)
        return tr("Build %1 is not published yet; installing build %2")
            .arg(m_loop->unpublishedBuild())
            .arg(m_loop->substituteBuild());
    return QString();
}

QString UpdateNotifier::statusLine() const
{
    const int status = downloadStatus();
    const bool idle = status == UpdateLoop::Idle;
    // A failed check is newer than any failed installation: a build is only fetched after
    // a check found it.
    for (const QString &line :
         { loopLine(), idle ? m_lostNotice : QString(), idle ? m_relaunchStatus : QString(),
           idle ? m_checkFailure : QString(), idle ? m_lastError : QString() })
        if (!line.isEmpty())
            return line;
    if (idle && m_loop && m_loop->stayBuild() > 0)
        return tr("Staying on build %1; newer builds are not installed").arg(m_loop->stayBuild());
    return UpdateWords::status(status, m_mirrorOnly, currentBuild());
}

void UpdateNotifier::choose(const QString &name)
{
    const auto named = [&name](const char *known) { return name == QLatin1String(known); };
    const auto found = std::find_if(std::begin(actionNames), std::end(actionNames), named);
    const auto action = Action(found - std::begin(actionNames));
    // "Not now" on the relaunch notice: no more reminders until the next build comes in.
    if (action == NotNow)
        m_reminder.postpone();
    // The loop's own choices: a settings file that cannot be written says so on the status line.
    else if ((action == StayOnBuild || action == FollowNewest) && m_loop)
        browserMessage(action == StayOnBuild ? m_loop->stayOnCurrentBuild()
                                             : m_loop->followNewestBuild());
    else if (found != std::end(actionNames) && action != Cancel)
        emit triggered(action);
}

void UpdateNotifier::notice(const QString &text, const QString &title, NoticeType type,
                            const Buttons &buttons, int timeout)
{
    // Information goes after five seconds, a warning after ten.
    if (timeout == -1)
        timeout = type == InfoNotice ? 5000 : 10000;
    m_reminder.noticeShown(timeout);
    QStringList more;
    for (const auto &[action, label] : buttons.mid(1))
        more << actionName(action) << label;
    const auto first = buttons.value(0, { NoAction, QString() });
    emit noticeRequested(text, title, type, timeout, actionName(first.first), first.second, more);
}

void UpdateNotifier::setBrowserOutdated(bool outdated)
{
    if (std::exchange(m_browserOutdated, outdated) == outdated)
        return;
    emit browserOutdatedChanged();
    // However the old browser went, there is nothing left to say about it.
    outdated ? remindRelaunch(true) : browserMessage(QString());
}

void UpdateNotifier::remindRelaunch(bool newBuild)
{
    const int build = currentBuild();
    const bool wanted = m_browserOutdated && build != -1 && notificationsOn();
    if (m_reminder.due(build, newBuild, wanted, m_windowVisible))
        notice(tr("Chromium build %1 is installed. Relaunch Chromium to use it.").arg(build),
               tr("Chromium (snapshot)"), InfoNotice,
               { { Relaunch, tr("Relaunch") }, { NotNow, tr("Not now") } }, 10000);
}

void UpdateNotifier::askBeforeGoingBack(int build, const QString &question,
                                        const QString &restoreLabel)
{
    // Asked whatever the notification setting: the user has just chosen to go back. It stays
    // until answered; closing it is no answer, and nothing happens.
    Buttons buttons { { OpenAnyway, tr("Open anyway") }, { Cancel, tr("Cancel") } };
    if (!restoreLabel.isEmpty())
        buttons.prepend({ RestoreProfile, restoreLabel });
    notice(question, tr("Go back to build %1?").arg(build), WarningNotice, buttons, 0);
}

void UpdateNotifier::askBeforeStarting(int build, const QString &question,
                                       const QString &restoreLabel)
{
    Buttons buttons { { StartAnyway, tr("Open anyway") }, { Cancel, tr("Cancel") } };
    if (!restoreLabel.isEmpty())
        buttons.prepend({ RestoreAndStart, restoreLabel });
    notice(question, tr("Start build %1?").arg(build), WarningNotice, buttons, 0);
}

void UpdateNotifier::offerProfileCopy()
{
    if (m_profileCopyOffered || !notificationsOn())
        return;
    m_profileCopyOffered = true;
    notice(tr("Chromium (snapshot) keeps a profile of its own. Your Chromium profile can be "
              "copied into it; it stays as it is."),
           tr("Chromium (snapshot)"), InfoNotice,
           { { CopyProfile, tr("Copy my Chromium profile") } }, 0);
}

void UpdateNotifier::profileCopyProgress(int percent)
{
    browserMessage(percent < 0 ? QString()
                               : tr("Copying your Chromium profile \u2026 %1%").arg(percent));
}

void UpdateNotifier::profileCopied(bool copied, const QString &error)
{
    browserMessage(copied ? QString() : tr("Your Chromium profile was not copied: %1").arg(error));
    if (copied)
        notice(tr("Your Chromium profile was copied."), tr("Chromium (snapshot)"), InfoNotice);
}

void UpdateNotifier::browserMessage(const QString &message)
{
    if (std::exchange(m_relaunchStatus, message) != message)
        emit statusLineChanged();
}

void UpdateNotifier::relaunchStarted()
{
    browserMessage(tr("Relaunching Chromium \u2026"));
}

void UpdateNotifier::relaunchFinished(bool quit, bool started)
{
    const QString notQuit
        = tr("Chromium did not quit (a page may ask to stay), so it was not relaunched");
    browserMessage(!quit         ? notQuit
                       : started ? QString()
                                 : tr("Chromium quit, but the new build could not be started"));
}

void UpdateNotifier::bisectStep(const QString &text)
{
    // Asked whatever the notification setting, as the person started the bisect; it stays
    // until answered.
    notice(text, tr("Find the build that broke it"), InfoNotice,
           { { BisectGood, tr("Good") }, { BisectBad, tr("Bad") }, { BisectSkip, tr("Skip") } }, 0);
}

void UpdateNotifier::bisectFound(const QString &text)
{
    notice(text, tr("Find the build that broke it"), InfoNotice);
}

void UpdateNotifier::bisectResumable(const QString &text)
{
    if (notificationsOn())
        notice(text, tr("Find the build that broke it"), InfoNotice,
               { { BisectGoOn, tr("Go on") } }, 0);
}

void UpdateNotifier::bisectFailed(const QString &error)
{
    notice(error, tr("Find the build that broke it"), WarningNotice);
}

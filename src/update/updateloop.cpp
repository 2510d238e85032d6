#include "update/updateloop.h"

#include "settings/buildpins.h"
#include "settings/config.h"
#include "update/checkschedule.h"

namespace {

// How long Exit waits for an installation before quitting anyway.
constexpr int exitWaitLimit = 600000;

int storedNumber(Config::Key key)
{
    bool number = false;
    const int value = Config::get(key).toInt(&number);
    return number ? value : Config::defaultValue(key).toInt();
}

} // namespace

UpdateLoop::UpdateLoop(QObject *parent)
    : QObject(parent)
    , m_period(UpdatePolicy::checkPeriod(m_checkCount, m_timeFrame))
    , m_checkTimer(this)
    , m_random(QRandomGenerator::securelySeeded())
{
    // The checks run from the start. Spread out, the first one comes from here within a
    // minute of it; otherwise the checker asks at once by itself.
    m_checkTimer.setSingleShot(true);
    connect(&m_checkTimer, &QTimer::timeout, this, &UpdateLoop::periodicCheck);
    m_firstCheckDone = !CheckSchedule::spreading();
    scheduleCheck(m_firstCheckDone ? m_period : CheckSchedule::firstCheck(m_random));
}

void UpdateLoop::scheduleCheck(qint64 delay)
{
    m_checkTimer.start(int(delay));
    m_nextCheck = QDateTime::currentDateTime().addMSecs(delay);
    emit nextCheckChanged();
}

void UpdateLoop::periodicCheck()
{
    m_firstCheckDone = true;
    scheduleCheck(CheckSchedule::nextCheck(m_period, m_random).delay);
    emit checkRequested();
}

void UpdateLoop::setCurrentBuild(int build)
{
    if (std::exchange(m_currentBuild, build) != build)
        emit currentBuildChanged();
}

void UpdateLoop::setCheckCount(int count)
{
    if (std::exchange(m_checkCount, count) != count)
        updatePeriod();
}

void UpdateLoop::setTimeFrame(int frameIndex)
{
    if (std::exchange(m_timeFrame, frameIndex) != frameIndex)
        updatePeriod();
}

void UpdateLoop::updatePeriod()
{
    // A new period applies at once: the wait starts afresh.
    const int period = UpdatePolicy::checkPeriod(m_checkCount, m_timeFrame);
    if (std::exchange(m_period, period) != period && m_firstCheckDone)
        scheduleCheck(CheckSchedule::nextCheck(period, m_random).delay);
    emit checkPeriodChanged();
}

void UpdateLoop::checkNow()
{
    m_userAsked = true;
    emit checkRequested();
}

UpdateLoop::Failure UpdateLoop::failure(int latest, int status, const QString &reason)
{
    if (latest > 0 || (status == 0 && reason.isEmpty()))
        return {};
    if (status == 0)
        return { StorageUnreachable, 0, reason };
    if (status < 200 || status > 299)
        return { StorageRefused, status, QString() };
    return { NoBuildNumber, 0, QString() };
}

void UpdateLoop::checkCompleted(int latest, int failureStatus, const QString &failureReason)
{
    emit checked();
    const Failure found = failure(latest, failureStatus, failureReason);
    // One outage is one piece of news: later checks that fail too say nothing new, and the
    // first check that finds a build ends the outage.
    const bool outageBegins = m_checkFailure.kind == NoCheckFailure && found.kind != NoCheckFailure;
    if (std::exchange(m_checkFailure, found) != found)
        emit checkFailureChanged();
    if (outageBegins)
        emit outageBegan();

    const bool userAsked = std::exchange(m_userAsked, false);
    ++m_checksSinceFailure;
    m_decision = { m_checksSinceFailure, userAsked };
    setSubstitute(-1, -1);
    if (!UpdatePolicy::shouldDownload(latest, records(), m_checksSinceFailure, userAsked,
                                      checkPeriod())) {
        // Nothing to fetch now, so nothing waits for a free connection either.
        setWaitingBuild(-1);
        return;
    }
    requestDownload(latest);
}

void UpdateLoop::buildNotPublished(int build, int newest)
{
    const int instead = UpdatePolicy::publishedInstead(build, newest, records(), m_decision.checks,
                                                       m_decision.userAsked, checkPeriod());
    if (instead == -1)
        return;
    setSubstitute(build, instead);
    requestDownload(instead);
}

UpdatePolicy::Records UpdateLoop::records() const
{
    return { m_currentBuild, storedNumber(Config::SkippedBuild), storedNumber(Config::FailedBuild),
             storedNumber(Config::FailedAttempts), stayBuild() };
}

int UpdateLoop::stayBuild() const
{
    return BuildPins::stay();
}

QString UpdateLoop::stayOnCurrentBuild()
{
    if (m_currentBuild <= 0)
        return QString();
    const QString unsaved = BuildPins::setStay(m_currentBuild);
    emit stayBuildChanged();
    return unsaved;
}

QString UpdateLoop::followNewestBuild()
{
    const QString unsaved = BuildPins::setStay(-1);
    emit stayBuildChanged();
    // What was held back may come now.
    if (unsaved.isEmpty())
        checkNow();
    return unsaved;
}

void UpdateLoop::setWaitingBuild(int build)
{
    if (std::exchange(m_waitingBuild, build) != build)
        emit stateChanged();
}

void UpdateLoop::setSubstitute(int unpublished, int instead)
{
    if (std::exchange(m_substitute, { unpublished, instead }) != std::pair(unpublished, instead))
        emit stateChanged();
}

bool UpdateLoop::waiting() const
{
    return m_waitingBuild != -1 && held();
}

void UpdateLoop::requestDownload(int build)
{
    m_checksSinceFailure = 0;
    // Checks go on over a metered link, but the archive waits for a free one. The first
    // check may end before NetworkManager has said which kind the link is.
    if (!m_meteredKnown || held()) {
        setWaitingBuild(build);
        return;
    }
    setWaitingBuild(-1);
    if (std::exchange(m_requestedBuild, build) != build)
        emit stateChanged();
    emit downloadRequested(build);
}

void UpdateLoop::setMetered(bool metered)
{
    if (std::exchange(m_metered, metered) == metered)
        return;
    emit meteredChanged();
    reconsiderHold();
}

void UpdateLoop::setDownloadOnMetered(bool allowed)
{
    if (std::exchange(m_downloadOnMetered, allowed) == allowed)
        return;
    emit downloadOnMeteredChanged();
    reconsiderHold();
}

// The link or the power changed: a waiting download may go, a running one may have to wait.
void UpdateLoop::reconsiderHold()
{
    releaseWaitingDownload();
    holdRunningDownload();
}

bool UpdateLoop::heldByBattery() const
{
    return UpdatePolicy::downloadWaits(m_lowBattery, m_downloadOnBattery);
}

bool UpdateLoop::held() const
{
    return UpdatePolicy::downloadWaits(m_metered, m_downloadOnMetered) || heldByBattery();
}

void UpdateLoop::setLowBattery(bool low)
{
    if (std::exchange(m_lowBattery, low) == low)
        return;
    emit powerChanged();
    reconsiderHold();
}

void UpdateLoop::setDownloadOnBattery(bool allowed)
{
    if (std::exchange(m_downloadOnBattery, allowed) == allowed)
        return;
    emit powerChanged();
    reconsiderHold();
}

void UpdateLoop::setMeteredKnown(bool known)
{
    if (std::exchange(m_meteredKnown, known) == known)
        return;
    emit meteredChanged();
    releaseWaitingDownload();
}

void UpdateLoop::releaseWaitingDownload()
{
    if (m_waitingBuild == -1)
        return;
    // Whether it waits for a free connection may have changed with the link.
    emit stateChanged();
    if (m_meteredKnown && !held())
        requestDownload(m_waitingBuild);
}

void UpdateLoop::holdRunningDownload()
{
    // A transfer under way when the link becomes metered, or the battery low, stops where it
    // is, and the build
    // waits like one not started yet: it goes on from its part once it may.
    if (m_status != Downloading || !held())
        return;
    m_waitingBuild = m_requestedBuild;
    emit stateChanged();
    emit pauseRequested();
}

void UpdateLoop::setDownloadStatus(int status)
{
    if (std::exchange(m_status, status) == status)
        return;
    emit downloadStatusChanged();
    if (m_exiting && status == Idle)
        emit quitRequested();
}

void UpdateLoop::installationFailed(int build)
{
    // An attempt that failed while asked to pause (it was asking for a substitute) is not
    // resumed once the link is free: the back-off decides when it is tried again.
    if (build == m_waitingBuild)
        setWaitingBuild(-1);
    const bool repeated = storedNumber(Config::FailedBuild) == build;
    Config::set(Config::FailedBuild, build);
    Config::set(Config::FailedAttempts, repeated ? storedNumber(Config::FailedAttempts) + 1 : 1);
    m_checksSinceFailure = 0;
    emit attemptFailed(build, repeated);
}

void UpdateLoop::installedBuildChanged()
{
    Config::remove(Config::FailedBuild);
    Config::remove(Config::FailedAttempts);
}

void UpdateLoop::exit()
{
    if (m_exiting || m_status != Installing) {
        emit quitRequested();
        return;
    }
    m_exiting = true;
    emit stateChanged();
    QTimer::singleShot(exitWaitLimit, this, &UpdateLoop::quitRequested);
    emit windowRequested();
}

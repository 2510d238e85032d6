#pragma once

#include "update/updatepolicy.h"

#include <QDateTime>
#include <QObject>
#include <QRandomGenerator>
#include <QTimer>

#include <tuple>
#include <utility>

// The update loop: when to check, which build to ask for, failed attempts and their back-off,
// a download waiting for a free link, Exit waiting for an installation. It says nothing: its
// signals and state tell UpdateNotifier what happened. The view tells it what the checker and
// the downloader report and carries out what it asks for.
class UpdateLoop : public QObject
{
    Q_OBJECT
    // Bound by the view: the installed build; the check period as a count of time frames
    // (UpdatePolicy::timeFrames), and what it comes to; the downloader's state.
    Q_PROPERTY(int currentBuild READ currentBuild WRITE setCurrentBuild NOTIFY currentBuildChanged)
    Q_PROPERTY(int checkCount READ checkCount WRITE setCheckCount NOTIFY checkPeriodChanged)
    Q_PROPERTY(int timeFrame READ timeFrame WRITE setTimeFrame NOTIFY checkPeriodChanged)
    Q_PROPERTY(int checkPeriod READ checkPeriod NOTIFY checkPeriodChanged)
    Q_PROPERTY(
        int downloadStatus READ downloadStatus WRITE setDownloadStatus NOTIFY downloadStatusChanged)
    // Whether the link is metered, and whether downloads go ahead on one all the same.
    Q_PROPERTY(bool metered READ metered WRITE setMetered NOTIFY meteredChanged)
    Q_PROPERTY(bool downloadOnMetered READ downloadOnMetered WRITE setDownloadOnMetered NOTIFY
                   downloadOnMeteredChanged)
    // Whether `metered` is known yet: until it is, no download starts.
    Q_PROPERTY(bool meteredKnown READ meteredKnown WRITE setMeteredKnown NOTIFY meteredChanged)
    // Whether the machine runs on a low battery, and whether downloads go ahead on one.
    Q_PROPERTY(bool lowBattery READ lowBattery WRITE setLowBattery NOTIFY powerChanged)
    Q_PROPERTY(bool downloadOnBattery READ downloadOnBattery WRITE setDownloadOnBattery NOTIFY
                   powerChanged)
    // When the next periodic check is due, for the status tab.
    Q_PROPERTY(QDateTime nextCheck READ nextCheck NOTIFY nextCheckChanged)
    // The build the loop stays on ("Stay on this build"); -1 while it follows the newest.
    Q_PROPERTY(int stayBuild READ stayBuild NOTIFY stayBuildChanged)

public:
    // The downloader's states, by the values it reports them with.
    enum DownloadStatus { Idle = 0, Downloading = 1, Installing = 2 };
    // Why a check found no build: the storage was not reached (failureReason says why),
    // answered with a status other than success (failureStatus), or with no build number.
    enum CheckFailure { NoCheckFailure, StorageUnreachable, StorageRefused, NoBuildNumber };

    explicit UpdateLoop(QObject *parent = nullptr);

    int currentBuild() const { return m_currentBuild; }
    void setCurrentBuild(int build);
    int checkCount() const { return m_checkCount; }
    void setCheckCount(int count);
    int timeFrame() const { return m_timeFrame; }
    void setTimeFrame(int frameIndex);
    int checkPeriod() const { return m_period; }
    QDateTime nextCheck() const { return m_nextCheck; }
    int downloadStatus() const { return m_status; }
    void setDownloadStatus(int status);
    bool metered() const { return m_metered; }
    void setMetered(bool metered);
    bool downloadOnMetered() const { return m_downloadOnMetered; }
    void setDownloadOnMetered(bool allowed);
    bool meteredKnown() const { return m_meteredKnown; }
    bool lowBattery() const { return m_lowBattery; }
    void setLowBattery(bool low);
    bool downloadOnBattery() const { return m_downloadOnBattery; }
    void setDownloadOnBattery(bool allowed);
    // Whether a download waits for mains power (rather than, or besides, a free link).
    bool heldByBattery() const;
    void setMeteredKnown(bool known);
    // For the notifier: the build asked for last, whether one waits for a free link, whether
    // Exit waits, the build fetched in place of one not published yet and that one (-1 for
    // none), and why the last check found no build.
    int requestedBuild() const { return m_requestedBuild; }
    bool waiting() const;
    bool exiting() const { return m_exiting; }
    int substituteBuild() const { return m_substitute.second; }
    int unpublishedBuild() const { return m_substitute.first; }
    CheckFailure checkFailure() const { return m_checkFailure.kind; }
    int stayBuild() const;
    int failureStatus() const { return m_checkFailure.status; }
    QString failureReason() const { return m_checkFailure.reason; }

    // The user pressed "Check for a new build": its answer is not kept waiting by a back-off.
    Q_INVOKABLE void checkNow();
    // Every completed check: the latest build it found (-1 for none) or, for none, the HTTP
    // status the storage answered (0: not reached) and the network's reason (neither: nothing
    // was asked).
    Q_INVOKABLE void checkCompleted(int latest, int failureStatus = 0,
                                    const QString &failureReason = QString());
    // The archive of `build` is not published yet; newest is the newest build that is.
    Q_INVOKABLE void buildNotPublished(int build, int newest);
    Q_INVOKABLE void installationFailed(int build);
    // The installed build changed: earlier failures no longer matter.
    Q_INVOKABLE void installedBuildChanged();
    // Exit, from the tray, the session or a signal: an installation under way may finish, for
    // ten minutes at most; asking again quits at once.
    Q_INVOKABLE void exit();
    // "Stay on this build": pins the current build and fetches no newer one; "Follow the newest
    // build" ends that (the pin stays). Empty on success, else the settings file that could
    // not be written.
    Q_INVOKABLE QString stayOnCurrentBuild();
    Q_INVOKABLE QString followNewestBuild();

    // The bounds of the check period, for the view's controls.
    Q_INVOKABLE int largestCount(int frameIndex) const
    {
        return UpdatePolicy::largestCount(UpdatePolicy::timeFrame(frameIndex));
    }
    Q_INVOKABLE int timeFrameIndex(const QVariant &stored, int count) const
    {
        return UpdatePolicy::timeFrameIndex(stored, count);
    }

signals:
    void currentBuildChanged();
    void checkPeriodChanged();
    void downloadStatusChanged();
    void meteredChanged();
    void downloadOnMeteredChanged();
    void nextCheckChanged();
    void powerChanged();
    // requestedBuild(), waiting(), exiting() or the substitute changed.
    void stateChanged();
    void checkFailureChanged();
    void stayBuildChanged();
    // A check completed; its decision follows.
    void checked();
    // A check failed after one that did not: later failures of the same outage say nothing.
    void outageBegan();
    // The installation of `build` failed; repeated when the attempt before failed on it too.
    void attemptFailed(int build, bool repeated);
    void checkRequested();
    void downloadRequested(int build);
    // The link became metered during a download: it is to stop and keep its part.
    void pauseRequested();
    void windowRequested();
    void quitRequested();

private:
    struct Failure
    {
        CheckFailure kind = NoCheckFailure;
        int status = 0;
        QString reason;
        bool operator!=(const Failure &o) const
        {
            return std::tie(kind, status, reason) != std::tie(o.kind, o.status, o.reason);
        }
    };
    // What a check's decision went by, for a published build taken in place of another.
    struct Decision
    {
        int checks = 0;
        bool userAsked = false;
    };

    static Failure failure(int latest, int status, const QString &reason);
    UpdatePolicy::Records records() const;
    void setWaitingBuild(int build);
    void setSubstitute(int unpublished, int instead);
    void updatePeriod();
    // Sets the timer for the next check, `delay` milliseconds from now.
    void scheduleCheck(qint64 delay);
    void periodicCheck();
    // Asks for the build, or keeps it waiting for an unmetered connection.
    void requestDownload(int build);
    // Starts the download that waits for an unmetered connection, once it may.
    void releaseWaitingDownload();
    // Pauses the running download when the link or the battery no longer lets it go on.
    void holdRunningDownload();
    void reconsiderHold();
    // Whether a download waits: on a metered link or a low battery, unless allowed.
    bool held() const;

    int m_currentBuild = -1;
    int m_checkCount = 5;
    int m_timeFrame = 0;
    int m_period = 0;
    QTimer m_checkTimer;
    QRandomGenerator m_random;
    QDateTime m_nextCheck;
    // Until the first check, a new period does not put it off.
    bool m_firstCheckDone = false;
    int m_requestedBuild = -1;
    bool m_exiting = false;
    int m_status = Idle;
    bool m_metered = false;
    bool m_downloadOnMetered = false;
    bool m_meteredKnown = false;
    bool m_lowBattery = false;
    bool m_downloadOnBattery = false;
    // The build whose download waits for an unmetered connection or mains power, or for word
    // of whether the connection is metered; -1 for none.
    int m_waitingBuild = -1;
    Failure m_checkFailure;
    // Checks completed since the last failed attempt, for the retry back-off.
    int m_checksSinceFailure = 0;
    bool m_userAsked = false;
    Decision m_decision;
    // The build not published yet, and the one fetched in its place.
    std::pair<int, int> m_substitute { -1, -1 };
};

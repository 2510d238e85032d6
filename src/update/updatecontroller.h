#pragma once

#include "update/updatepolicy.h"

#include <QElapsedTimer>
#include <QObject>
#include <QTimer>
#include <QVariant>

// The update loop's state between checks: which build was asked for, failed attempts and
// their back-off, the notices they earn, and Exit waiting for an installation. The view
// tells it what the checker and the downloader report and carries out what it asks for.
class UpdateController : public QObject
{
    Q_OBJECT
    // The installed build and the check period, bound by the view.
    Q_PROPERTY(int currentBuild MEMBER m_currentBuild NOTIFY currentBuildChanged)
    Q_PROPERTY(int checkPeriod MEMBER m_checkPeriod NOTIFY checkPeriodChanged)
    // Why the downloader's last attempt failed, bound by the view; empty after a success.
    Q_PROPERTY(QString lastError READ lastError WRITE setLastError NOTIFY statusLineChanged)
    // Whether the build being fetched, or the one installed last, was judged by the mirror's
    // own checksums alone, the storage not answering; bound by the view.
    Q_PROPERTY(bool mirrorOnly READ mirrorOnly WRITE setMirrorOnly NOTIFY statusLineChanged)
    // Whether "Allow Chromium's sandbox…" is offered: AppArmor keeps the installed builds
    // from sandboxing themselves, and a profile of ours can lift that.
    Q_PROPERTY(bool sandboxFixable READ sandboxFixable NOTIFY sandboxFixableChanged)
    // What the status line says: the exit notice, a notice nothing could show, the last
    // failure, or the status.
    Q_PROPERTY(QString statusLine READ statusLine NOTIFY statusLineChanged)
    // Whether the window is on screen, bound by the view.
    Q_PROPERTY(
        bool windowVisible READ windowVisible WRITE setWindowVisible NOTIFY windowVisibleChanged)
    // Whether the connection is metered, and whether the user lets downloads go ahead on one
    // all the same; bound by the view.
    Q_PROPERTY(bool metered READ metered WRITE setMetered NOTIFY meteredChanged)
    Q_PROPERTY(bool downloadOnMetered READ downloadOnMetered WRITE setDownloadOnMetered NOTIFY
                   downloadOnMeteredChanged)
    // Whether `metered` is known yet, bound by the view: until it is, no download starts.
    Q_PROPERTY(bool meteredKnown READ meteredKnown WRITE setMeteredKnown NOTIFY meteredChanged)
    // Whether a browser still runs from a build older than the current one, bound by the view:
    // a relaunch is offered while it does.
    Q_PROPERTY(bool browserOutdated READ browserOutdated WRITE setBrowserOutdated NOTIFY
                   browserOutdatedChanged)

public:
    // How often the relaunch is brought up again while it waits, at most.
    static constexpr qint64 relaunchReminderPeriod = 24 * 3600 * 1000;

    // The downloader's states, by the values it reports them with.
    enum DownloadStatus { Idle = 0, Downloading = 1, Installing = 2 };
    // The tray's message kinds, by the values it takes them as.
    enum NoticeType { InfoNotice = 1, WarningNotice = 2 };
    Q_ENUM(NoticeType)
    // What keeps the browser's sandbox from working, by the values the downloader reports.
    enum SandboxRestriction { AppArmorRestriction = 1, UsernsCloneOff = 2, NoUserNamespaces = 3 };

    explicit UpdateController(QObject *parent = nullptr);

    // Test seam: the monotonic clock, in milliseconds, that notices and reminders are timed
    // by; null for the real one.
    static void setClock(qint64 (*source)());

    QString lastError() const { return m_lastError; }
    void setLastError(const QString &error);
    bool mirrorOnly() const { return m_mirrorOnly; }
    void setMirrorOnly(bool mirrorOnly);
    bool sandboxFixable() const { return m_sandboxFixable; }
    QString statusLine() const;
    bool windowVisible() const { return m_windowVisible; }
    void setWindowVisible(bool visible);
    bool metered() const { return m_metered; }
    void setMetered(bool metered);
    bool downloadOnMetered() const { return m_downloadOnMetered; }
    void setDownloadOnMetered(bool allowed);
    bool meteredKnown() const { return m_meteredKnown; }
    void setMeteredKnown(bool known);
    bool browserOutdated() const { return m_browserOutdated; }
    void setBrowserOutdated(bool outdated);

    Q_INVOKABLE static QString statusText(int status);
    // The tray icon's tool tip: the installed build and what it said of itself.
    Q_INVOKABLE static QString toolTip(int build, const QString &version);
    // The tray menu's entries: a list of maps with a name, a label and flags. Going back (or
    // returning, to a newer build) is offered while there is a previous build, allowing the
    // sandbox while that is fixable, relaunching the browser while it runs an older build.
    Q_INVOKABLE static QVariantList trayMenu(int previousBuild, int currentBuild,
                                             bool sandboxFixable = false,
                                             bool browserOutdated = false);

    // The user pressed "Check for a new build": its answer is not kept waiting by a back-off.
    Q_INVOKABLE void checkNow();
    // Every completed check, with the latest build it found (-1 for none) and, for none, the
    // HTTP status the storage answered (0 when it was not reached) and the network's reason.
    // Neither a status nor a reason means there was nothing to ask.
    Q_INVOKABLE void checkCompleted(int latest, int failureStatus = 0,
                                    const QString &failureReason = QString());
    Q_INVOKABLE void downloadStatusChanged(int status);
    // The archive of `build` answered and is coming (once per attempt): only now is it said
    // to be downloading, not for a build that turns out not to be published.
    Q_INVOKABLE void downloadAnswered(int build);
    // The archive of `build` is not published yet; newest is the newest build that is.
    Q_INVOKABLE void buildNotPublished(int build, int newest);
    Q_INVOKABLE void installationFailed(int build, const QString &error);
    // The installed build changed: earlier failures no longer matter.
    Q_INVOKABLE void installedBuildChanged();
    // A notice that nothing could show (no notification service, no balloon): the status
    // line keeps it until the user has had the window open.
    Q_INVOKABLE void noticeLost(const QString &text);
    // An installation succeeded: its notice replaces the "Installing ..." one, or the relaunch
    // notice does while a browser runs from an older build.
    Q_INVOKABLE void installationSucceeded(int build, const QString &version);
    Q_INVOKABLE void sandboxBlocked(int restriction);
    // What came of asking to allow the sandbox.
    Q_INVOKABLE void sandboxAllowed(bool allowed, const QString &message);
    // Going back to `build` needs the person's answer first: a notice asks, with the answer
    // that restores the profile when there is one (restoreLabel), "Open anyway" and "Cancel".
    Q_INVOKABLE void askBeforeGoingBack(int build, const QString &question,
                                        const QString &restoreLabel);
    // The browser's own profile does not exist yet while the distribution's Chromium's does:
    // a notice offers to copy it, once a run.
    Q_INVOKABLE void offerProfileCopy();
    // How far the copy is (-1 when not copying), and what came of it.
    Q_INVOKABLE void profileCopyProgress(int percent);
    Q_INVOKABLE void profileCopied(bool copied, const QString &error);
    // Something to say about the browser's profile in the status line.
    Q_INVOKABLE void browserMessage(const QString &message);
    // "Not now" on the relaunch notice: no more reminders until the next build comes in.
    Q_INVOKABLE void relaunchPostponed();
    // The browser was asked to quit for a relaunch, and what came of it.
    Q_INVOKABLE void relaunchStarted();
    Q_INVOKABLE void relaunchFinished(bool quit, bool started);
    // The tray's Exit, and a request to end from the session or a signal. An installation
    // under way is let finish, for at most ten minutes; asking again quits at once.
    Q_INVOKABLE void exit();

    // The bounds of the check period, for the view's controls.
    Q_INVOKABLE int largestCount(qint64 factor) const;
    Q_INVOKABLE int timeFrameIndex(const QVariant &stored, int count) const;

signals:
    void currentBuildChanged();
    void checkPeriodChanged();
    void statusLineChanged();
    void windowVisibleChanged();
    void meteredChanged();
    void downloadOnMeteredChanged();
    void sandboxFixableChanged();
    void browserOutdatedChanged();
    void checkRequested();
    void downloadRequested(int build);
    // The link became metered during a download: it is to stop and keep its part.
    void pauseRequested();
    // action and actionLabel: a button on the notice, named as the tray menu's entry it
    // stands for; none when empty. moreActions: more such buttons, as pairs of name and label.
    void noticeRequested(const QString &text, const QString &title, int type, int timeout,
                         const QString &action, const QString &actionLabel,
                         const QStringList &moreActions);
    void windowRequested();
    void quitRequested();

private:
    UpdatePolicy::Records records() const;
    // Asks for the build, or keeps it waiting for an unmetered connection.
    void requestDownload(int build);
    // Starts the download that waits for an unmetered connection, once it may.
    void releaseWaitingDownload();
    // Pauses the running download when the link no longer lets it go on.
    void holdRunningDownload();
    void notice(const QString &text, const QString &title, NoticeType type, int timeout,
                const QString &action = QString(), const QString &actionLabel = QString(),
                const QStringList &moreActions = QStringList());
    // Whether a notice of ours may still be on screen.
    bool noticeUp() const;
    // The relaunch notice, when it is due: at once for a build it did not announce, then at
    // most once a period, never over the window or another notice, nor after "Not now".
    void remindRelaunch(bool newBuild);

    int m_currentBuild = -1;
    int m_checkPeriod = 300000;
    // The build asked of the downloader last, for notices and the exit notice.
    int m_requestedBuild = -1;
    // Set while Exit waits for an installation to finish.
    bool m_exiting = false;
    int m_status = Idle;
    QString m_lastError;
    bool m_mirrorOnly = false;
    QString m_lostNotice;
    bool m_lostNoticeSeen = false;
    bool m_windowVisible = false;
    bool m_metered = false;
    bool m_downloadOnMetered = false;
    bool m_meteredKnown = false;
    // The build whose download waits for an unmetered connection, or for word of whether the
    // connection is one; -1 for none.
    int m_waitingBuild = -1;
    // Why the last check found no build; empty after a check that found one.
    QString m_checkFailure;
    // Checks completed since the last failed attempt, for the retry back-off.
    int m_checksSinceFailure = 0;
    bool m_userAsked = false;
    // What the last check's decision went by, for a published build taken instead.
    int m_checksAtDecision = 0;
    bool m_userAskedAtDecision = false;
    // Says which build is fetched in place of an unpublished one, while it is.
    QString m_substitute;
    bool m_sandboxWarned = false;
    bool m_sandboxFixable = false;
    QTimer m_exitLimit;
    // When the last notice went up (by the clock above), -1 before the first.
    qint64 m_lastNotice = -1;
    int m_lastNoticeTimeout = 0;
    bool m_browserOutdated = false;
    bool m_relaunchPostponed = false;
    bool m_profileCopyOffered = false;
    qint64 m_lastRelaunchNotice = -1;
    int m_relaunchNoticeBuild = -1;
    // What became of the last relaunch, for the status line; empty when nothing to say.
    QString m_relaunchStatus;
};

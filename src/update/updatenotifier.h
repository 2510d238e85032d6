#pragma once

#include "update/updateloop.h"

#include <QObject>
#include <QPointer>
#include <QVariant>

// Puts the update loop into words: the notices and when they go up, the status line, the
// tool tip and the tray menu, the relaunch reminder, and what is said of the browser's
// profile and sandbox. The view tells it what the browser's elements report; the loop's own
// facts it hears from the loop.
class UpdateNotifier : public QObject
{
    Q_OBJECT
    // The loop whose facts are told, set by the view.
    Q_PROPERTY(UpdateLoop *loop READ loop WRITE setLoop NOTIFY loopChanged)
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
    // Whether a browser still runs from a build older than the current one, bound by the view:
    // a relaunch is offered while it does.
    Q_PROPERTY(bool browserOutdated READ browserOutdated WRITE setBrowserOutdated NOTIFY
                   browserOutdatedChanged)

public:
    // How often the relaunch is brought up again while it waits, at most.
    static constexpr qint64 relaunchReminderPeriod = 24 * 3600 * 1000;

    // The tray's message kinds, by the values it takes them as.
    enum NoticeType { InfoNotice = 1, WarningNotice = 2 };
    Q_ENUM(NoticeType)
    // What keeps the browser's sandbox from working, by the values the sandbox guard reports.
    enum SandboxRestriction { AppArmorRestriction = 1, UsernsCloneOff = 2, NoUserNamespaces = 3 };
    // What a tray menu entry or a notice's button does; each has one name (actionName()),
    // which the tray hands back when it is chosen.
    enum Action {
        // No button at all.
        NoAction = -1,
        OpenWindow,
        OpenSettings,
        GoBack,
        RestoreProfile,
        OpenAnyway,
        Cancel,
        CopyProfile,
        AllowSandbox,
        Relaunch,
        NotNow,
        Quit,
    };
    Q_ENUM(Action)

    explicit UpdateNotifier(QObject *parent = nullptr);

    // Test seam: the monotonic clock, in milliseconds, that notices and reminders are timed
    // by; null for the real one.
    static void setClock(qint64 (*source)());

    static QString actionName(Action action);

    UpdateLoop *loop() const { return m_loop; }
    void setLoop(UpdateLoop *loop);
    QString lastError() const { return m_lastError; }
    void setLastError(const QString &error);
    bool mirrorOnly() const { return m_mirrorOnly; }
    void setMirrorOnly(bool mirrorOnly);
    bool sandboxFixable() const { return m_sandboxFixable; }
    QString statusLine() const;
    bool windowVisible() const { return m_windowVisible; }
    void setWindowVisible(bool visible);
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

    // An entry or a notice's button named `name` was chosen: triggered() says which, unless
    // it is one answered here ("Not now") or one that does nothing (Cancel).
    Q_INVOKABLE void choose(const QString &name);
    // The archive of `build` answered and is coming (once per attempt): only now is it said
    // to be downloading, not for a build that turns out not to be published.
    Q_INVOKABLE void downloadAnswered(int build);
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

signals:
    void loopChanged();
    void statusLineChanged();
    void windowVisibleChanged();
    void sandboxFixableChanged();
    void browserOutdatedChanged();
    // An entry or a button for the view to carry out was chosen.
    void triggered(UpdateNotifier::Action action);
    // action and actionLabel: a button on the notice, named as the tray menu's entry it
    // stands for; none when empty. moreActions: more such buttons, as pairs of name and label.
    void noticeRequested(const QString &text, const QString &title, int type, int timeout,
                         const QString &action, const QString &actionLabel,
                         const QStringList &moreActions);

private:
    int currentBuild() const;
    int downloadStatus() const;
    // The line the loop's state earns, before the plain status; empty for none.
    QString loopLine() const;
    QString checkFailureText() const;
    void checkFailureChanged();
    void downloadStatusChanged();
    void attemptFailed(int build, bool repeated);
    void notice(const QString &text, const QString &title, NoticeType type, int timeout,
                Action action = NoAction, const QString &actionLabel = QString(),
                const QStringList &moreActions = QStringList());
    // Whether a notice of ours may still be on screen.
    bool noticeUp() const;
    // The relaunch notice, when it is due: at once for a build it did not announce, then at
    // most once a period, never over the window or another notice, nor after "Not now".
    void remindRelaunch(bool newBuild);

    QPointer<UpdateLoop> m_loop;
    QString m_lastError;
    bool m_mirrorOnly = false;
    QString m_lostNotice;
    bool m_lostNoticeSeen = false;
    bool m_windowVisible = false;
    // What the status line says of the last check's failure; empty after one that found a
    // build.
    QString m_checkFailure;
    bool m_sandboxWarned = false;
    bool m_sandboxFixable = false;
    // Until when (by the clock above) the last notice may be on screen.
    qint64 m_noticeUntil;
    bool m_browserOutdated = false;
    bool m_relaunchPostponed = false;
    bool m_profileCopyOffered = false;
    qint64 m_lastRelaunchNotice = -1;
    int m_relaunchNoticeBuild = -1;
    // What became of the last relaunch, or of the profile's copy or restore, for the status
    // line; empty when nothing to say.
    QString m_relaunchStatus;
};

#pragma once

#include "update/relaunchreminder.h"
#include "update/updateloop.h"

#include <QObject>
#include <QPointer>
#include <QVariant>

// Puts the update loop into words: the notices and when they go up, the status line, the
// relaunch reminder, the browser's profile and sandbox news, and what the tray's entries and
// the notices' buttons are named (UpdateWords has the fixed words). The loop's facts it
// hears from the loop, the browser's from the view.
class UpdateNotifier : public QObject
{
    Q_OBJECT
    Q_PROPERTY(UpdateLoop *loop READ loop WRITE setLoop NOTIFY loopChanged)
    // Bound by the view: the downloader's last error; whether the build fetched or installed
    // last was judged by the mirror's checksums alone.
    Q_PROPERTY(QString lastError READ lastError WRITE setLastError NOTIFY statusLineChanged)
    Q_PROPERTY(bool mirrorOnly READ mirrorOnly WRITE setMirrorOnly NOTIFY statusLineChanged)
    // Whether "Allow Chromium's sandbox…" is offered: a profile of ours can lift AppArmor's.
    Q_PROPERTY(bool sandboxFixable READ sandboxFixable NOTIFY sandboxFixableChanged)
    // The exit notice, a notice nothing could show, the last failure, or the status.
    Q_PROPERTY(QString statusLine READ statusLine NOTIFY statusLineChanged)
    // Bound by the view: whether the window is on screen; whether a browser still runs from
    // an older build than the current one.
    Q_PROPERTY(
        bool windowVisible READ windowVisible WRITE setWindowVisible NOTIFY windowVisibleChanged)
    Q_PROPERTY(bool browserOutdated READ browserOutdated WRITE setBrowserOutdated NOTIFY
                   browserOutdatedChanged)

public:
    // The tray's message kinds, by the values it takes them as.
    enum NoticeType { InfoNotice = 1, WarningNotice = 2 };
    Q_ENUM(NoticeType)
    // What keeps the browser's sandbox from working, by the values the sandbox guard reports.
    enum SandboxRestriction { AppArmorRestriction = 1, UsernsCloneOff = 2, NoUserNamespaces = 3 };
    // What a tray entry or a notice's button does; its one name (actionName()) is what the
    // tray hands back.
    enum Action {
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
        StayOnBuild,
        FollowNewest,
        NotNow,
        RestoreAndStart,
        StartAnyway,
        Quit,
        BisectGood,
        BisectBad,
        BisectSkip,
        BisectGoOn
    };
    Q_ENUM(Action)

    using QObject::QObject;

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

    // The entry or notice button `name` was chosen: triggered() tells the view, but for "Not
    // now" (answered here) and Cancel (nothing to do).
    Q_INVOKABLE void choose(const QString &name);

    // What the view reports. A download is said once its archive answers.
    Q_INVOKABLE void downloadAnswered(int build);
    // A notice nothing could show stays in the status line until the window has been open.
    Q_INVOKABLE void noticeLost(const QString &text);
    Q_INVOKABLE void installationSucceeded(int build, const QString &version);
    Q_INVOKABLE void sandboxBlocked(int restriction);
    Q_INVOKABLE void sandboxAllowed(bool allowed, const QString &message);
    // Asks before going back: restoreLabel (when there is one), "Open anyway" and "Cancel".
    Q_INVOKABLE void askBeforeGoingBack(int build, const QString &question,
                                        const QString &restoreLabel);
    // The same before a build beside current starts on the profile.
    Q_INVOKABLE void askBeforeStarting(int build, const QString &question,
                                       const QString &restoreLabel);
    // Offers to copy the distribution's Chromium's profile, once a run.
    Q_INVOKABLE void offerProfileCopy();
    // How far the copy is (-1 when not copying), and what came of it.
    Q_INVOKABLE void profileCopyProgress(int percent);
    Q_INVOKABLE void profileCopied(bool copied, const QString &error);
    Q_INVOKABLE void browserMessage(const QString &message);
    // A bisect's step is up for a verdict ("Good", "Bad", "Skip"), its range is found, a bisect a
    // restart interrupted can go on, or a bisect cannot go on.
    Q_INVOKABLE void bisectStep(const QString &text);
    Q_INVOKABLE void bisectFound(const QString &text);
    Q_INVOKABLE void bisectResumable(const QString &text);
    Q_INVOKABLE void bisectFailed(const QString &error);
    Q_INVOKABLE void relaunchStarted();
    Q_INVOKABLE void relaunchFinished(bool quit, bool started);

signals:
    void loopChanged();
    void statusLineChanged();
    void windowVisibleChanged();
    void sandboxFixableChanged();
    void browserOutdatedChanged();
    void triggered(UpdateNotifier::Action action);
    // action and actionLabel: a button on the notice, named as the tray menu's entry it
    // stands for; none when empty. moreActions: more such buttons, as pairs of name and label.
    void noticeRequested(const QString &text, const QString &title, int type, int timeout,
                         const QString &action, const QString &actionLabel,
                         const QStringList &moreActions);

private:
    using Buttons = QList<std::pair<Action, QString>>;
    int currentBuild() const { return m_loop ? m_loop->currentBuild() : -1; }
    int downloadStatus() const { return m_loop ? m_loop->downloadStatus() : UpdateLoop::Idle; }
    QString loopLine() const;
    QString checkFailureText() const;
    void checkFailureChanged();
    void downloadStatusChanged();
    void attemptFailed(int build, bool repeated);
    // timeout: -1 for the type's own, 0 until answered.
    void notice(const QString &text, const QString &title, NoticeType type,
                const Buttons &buttons = {}, int timeout = -1);
    void remindRelaunch(bool newBuild);

    QPointer<UpdateLoop> m_loop;
    QString m_lastError;
    bool m_mirrorOnly = false;
    QString m_lostNotice;
    bool m_lostNoticeSeen = false;
    bool m_windowVisible = false;
    // What the status line says of the last check's failure.
    QString m_checkFailure;
    bool m_sandboxWarned = false;
    bool m_sandboxFixable = false;
    bool m_browserOutdated = false;
    bool m_profileCopyOffered = false;
    RelaunchReminder m_reminder;
    // What became of the last relaunch, or of the profile's copy or restore; empty for none.
    QString m_relaunchStatus;
};

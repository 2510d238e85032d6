#pragma once

#include "install/installroot.h"

#include <QFutureWatcher>
#include <QObject>

#include <atomic>

class ProfileSnapshots;

// Keeps the browser's profile readable across build switches: when a build of a newer
// milestone comes in, it takes a snapshot of the profile as the older milestone left it (while
// no browser holds it; a relaunch takes it once the browser has quit), and before the view
// goes back to an older milestone it says what to ask and puts that milestone's stores back
// when the person chooses so. Snapshots and restores copy stores that may be large (History),
// so they run on a worker thread and report back through signals.
class ProfileGuard : public QObject
{
    Q_OBJECT
    // Whether a restore is under way.
    Q_PROPERTY(bool restoring READ restoring NOTIFY restoringChanged)

public:
    // The answers to the go-back question that do something; "Cancel" does nothing.
    enum Answer { OpenAnyway, RestoreProfile };
    Q_ENUM(Answer)

    explicit ProfileGuard(QObject *parent = nullptr);
    // Undoes a restore cut short, on a worker thread; protectDone() follows.
    explicit ProfileGuard(const InstallRoot &root, QObject *parent = nullptr);
    // Stops a snapshot under way (nothing half-copied stays) and lets a restore that has
    // begun changing the profile finish: either way the profile is whole.
    ~ProfileGuard() override;

    // A snapshot of the profile, when the milestone of `build` (-1: the current build) is
    // newer than the one that last wrote the profile and no browser holds it. True when one
    // was taken. A restore cut short is undone first. Blocks: for a worker thread, or a
    // process of its own.
    static bool protect(const InstallRoot &root, const QString &profile,
                        const std::atomic<bool> *cancel = nullptr, int build = -1);

    bool restoring() const { return m_restoringBuild != -1; }

    // The question before `build` goes into use: empty when its milestone is not older than
    // the profile's, or either is unknown.
    Q_INVOKABLE QString question(int build) const;
    // The answer that restores the profile for `build`; empty without a snapshot for it.
    Q_INVOKABLE QString restoreLabel(int build) const;
    // Starts putting the stores of `build`'s milestone back; restored() says how it went.
    // False when a restore is under way already.
    Q_INVOKABLE bool restore(int build);
    // The current build changed: a snapshot is taken when due.
    Q_INVOKABLE void buildChanged();
    // The person chose to go back to `previousBuild`: switchTo() at once when there is
    // nothing to ask, else asking() with the question.
    Q_INVOKABLE void goBack(int previousBuild);
    // The person's answer to the last question asked. It holds for the build it was asked
    // about, not one an update put there since (previousBuild is the one there now), and
    // only once: a second click on an old notice does nothing. Restoring switches once the
    // profile is back.
    Q_INVOKABLE void answer(ProfileGuard::Answer answer, int previousBuild);
    // The person chose to start `build` beside current on the profile: the same question as
    // for going back (askingToStart()), or, for a newer milestone, a snapshot first; then
    // startNow().
    Q_INVOKABLE void start(int build);
    // The answer to the last start question, once; restoring starts once the profile is back.
    Q_INVOKABLE void answerStart(ProfileGuard::Answer answer);

signals:
    void restoringChanged();
    // error is empty on success, else why not.
    void restored(int build, const QString &error);
    // The view is to switch to `build`, if that is still the previous build.
    void switchTo(int build);
    // The question before going back to `build`, and the answer that restores its profile
    // (empty without a snapshot for it).
    void asking(int build, const QString &question, const QString &restoreLabel);
    // A snapshot looked for after a build change is done, or was not due; or what the start
    // does to a restore cut short is done (taken false).
    void protectDone(bool taken);
    // The question before `build` starts on the profile, as asking() has it.
    void askingToStart(int build, const QString &question, const QString &restoreLabel);
    // `build` may start on the profile now.
    void startNow(int build);

private:
    static void recover(const ProfileSnapshots &snapshots);
    void startProtect();
    // A restore that ends in startNow() rather than switchTo().
    bool restoreFor(int build, bool thenStart);

    InstallRoot m_root;
    std::atomic<bool> m_cancel { false };
    QFutureWatcher<bool> m_protecting;
    bool m_protectRunning = false;
    // A build change while a snapshot was being taken: look again once it is done.
    bool m_protectAgain = false;
    QFutureWatcher<QString> m_restoring;
    // The build whose milestone is being restored, -1 while none is.
    int m_restoringBuild = -1;
    // The build the last go-back question asked about, -1 once it was answered.
    int m_askedBuild = -1;
    // Whether the restore under way is for a start rather than a switch.
    bool m_restoreToStart = false;
    // The build the last start question asked about, -1 once it was answered.
    int m_askedStart = -1;
    // A newer milestone's snapshot before m_startingBuild starts.
    QFutureWatcher<bool> m_beforeStart;
    int m_startingBuild = -1;
};

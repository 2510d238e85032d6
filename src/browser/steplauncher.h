#pragma once

#include <QFutureSynchronizer>
#include <QFutureWatcher>
#include <QObject>
#include <QProcess>
#include <QString>

#include <atomic>

// One step of a bisect: a build folder's chrome started on a profile that is never the
// person's own. Either a fresh one for that step alone, removed when its browser exits, or a
// copy of the own profile, made at the first step that asks for it and reused by every later
// step until the bisect ends. Both live in directory(); what a crash or a quit left there goes
// at the next start of the program (removeLeftovers()), so a bisect resumed after a restart
// makes its copy anew at its first step.
//
// The own profile is only ever read: the copy walks it through descriptors, leaves out links,
// sockets and Chromium's Singleton* files, and is refused while a browser holds the profile
// (a running browser changes its stores as they are read, and the copy would be a mix).
class StepLauncher : public QObject
{
    Q_OBJECT

public:
    enum ProfileMode { FreshProfile, CopyOfOwnProfile };
    Q_ENUM(ProfileMode)

    explicit StepLauncher(QObject *parent = nullptr);
    // Stops a copy under way; a step's browser still running is ended, its fresh profile goes.
    ~StepLauncher() override;

    // <cache>/step-profiles.
    static QString directory();
    // Removes every profile there but for those a step or a running browser still holds.
    // Blocks: for a worker thread.
    static void removeLeftovers();

    // Whether a step is under way: its copy being made, or its browser running.
    bool running() const;
    // The profile the last step's browser was given; empty before the first.
    QString profile() const { return m_profile; }

    // False, with error set, when the step cannot start: no chrome in the folder, a step under
    // way, no room for a fresh profile. Otherwise started() follows once the browser runs (a
    // first copying step copies first), or failed().
    bool start(const QString &buildFolder, ProfileMode mode, QString *error);
    // The step is judged: its browser is asked to quit (finished() follows), the copy stays.
    void stopStep();
    // The bisect is over: a step's browser still running is asked to quit, and the copy of
    // the own profile goes once nothing uses it.
    void endBisect();

signals:
    void started();
    // The step's browser exited, or the bisect's end stopped its copy before it started; its
    // fresh profile is on its way out.
    void finished();
    // The step did not start: why, in one line.
    void failed(const QString &error);

private:
    // start()'s two kinds of profile, once the build is known to be startable.
    bool startOnCopy(QString *error);
    bool startOnFresh(QString *error);
    void copied();
    void launch();
    void exited();
    // Closes the hold on a profile folder and removes it on a worker thread.
    void discard(QString *name, int *held);

    QProcess m_browser;
    QString m_folder;
    QString m_profile;
    // Names in directory(), and the descriptors whose locks keep removeLeftovers() off them.
    QString m_fresh;
    int m_freshHold = -1;
    QString m_copy;
    int m_copyHold = -1;
    bool m_ending = false;
    std::atomic<bool> m_cancel { false };
    QFutureWatcher<QString> m_copying;
    QFutureSynchronizer<void> m_removals;
};

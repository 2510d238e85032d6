#pragma once

#include "install/installroot.h"

#include <QFutureWatcher>
#include <QObject>
#include <QTimer>

#include <atomic>

class QSocketNotifier;

// Finds the browser the profile's SingletonLock names when it is this user's and still runs
// from a build `current` no longer points at, and relaunches it in the current one: asks it
// to quit the way Chromium takes as a person's own quit (SIGINT to the browser process alone,
// never to its helpers; SIGTERM would be a session's end, which skips the pages' questions
// and loses what was not yet written), waits a bounded time for it to end, and then starts
// the launcher with --restore-last-session, so Chromium's own session restore brings the tabs
// back. A browser that does not quit (a page asks to stay) is never forced; the new build is
// then not started either.
class BrowserRelaunch : public QObject
{
    Q_OBJECT
    // Whether the profile's browser runs from an older build than the current one.
    Q_PROPERTY(bool outdated READ outdated NOTIFY outdatedChanged)
    Q_PROPERTY(bool relaunching READ relaunching NOTIFY relaunchingChanged)

public:
    static constexpr int defaultQuitTimeout = 30000;

    explicit BrowserRelaunch(QObject *parent = nullptr);
    explicit BrowserRelaunch(const InstallRoot &root, QObject *parent = nullptr);
    // Stops a snapshot under way; nothing half-copied stays, and nothing is started.
    ~BrowserRelaunch() override;

    bool outdated() const { return m_outdated; }
    bool relaunching() const { return m_limit.isActive() || m_protecting; }
    void setQuitTimeout(int milliseconds) { m_limit.setInterval(milliseconds); }

    // Looks again where the profile's browser runs from. Cheap: its lock and two /proc files.
    Q_INVOKABLE void refresh();
    // False when there is nothing to relaunch or a relaunch is under way.
    Q_INVOKABLE bool relaunch();
    // The person starts `build` beside current on purpose: its browser is not outdated until
    // another build becomes current.
    Q_INVOKABLE void leaveAlone(int build);

signals:
    void outdatedChanged(bool outdated);
    void relaunchingChanged();
    // quit: whether the outdated browser ended; started: whether the current build was then
    // started. A browser that stays is left running and nothing is started.
    void relaunchFinished(bool quit, bool started);

private:
    // The pid the profile's lock names when that process is a browser (not a renderer or
    // helper) of this user whose chrome lies in a build other than the current one; else 0.
    qint64 outdatedBrowser() const;
    // Whether the process open as /proc/<pid> is such a browser.
    bool isOutdatedBrowser(int process) const;
    // Asks the browser to quit; false when it ran but could not be asked.
    bool askToQuit(qint64 pid);
    void exited();
    void finish(bool quit);
    // Once the profile is looked after: starts the current build, and says what came of it.
    void startCurrent();

    InstallRoot m_root;
    bool m_outdated = false;
    // The build leaveAlone() named, and the current build it was started beside.
    int m_chosenBuild = -1;
    int m_chosenBeside = -1;
    // On the handle of the browser asked to quit: readable once that process has ended.
    QSocketNotifier *m_waiting = nullptr;
    QTimer m_limit;
    // The snapshot taken between the old browser's quit and the new build's start, off the
    // main thread: a large History takes seconds to copy.
    QFutureWatcher<void> m_protection;
    bool m_protecting = false;
    std::atomic<bool> m_cancel { false };
};

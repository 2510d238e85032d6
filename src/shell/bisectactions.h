#pragma once

#include "browser/steplauncher.h"
#include "shell/bisectsession.h"

#include <QObject>
#include <QString>
#include <QUrl>

// What the Builds tab does to find the build that broke something: it starts a bisect between
// two builds, starts each step's build on a profile that is never the own one, hands the
// person's verdicts on, and ends with the range the change lies in. A bisect a restart
// interrupted is offered again (resumable) and goes on with the same step.
class BisectActions : public QObject
{
    Q_OBJECT
    Q_PROPERTY(State state READ state NOTIFY changed)
    // The step's build, -1 between steps; its folder, for the sandbox's check.
    Q_PROPERTY(int step READ step NOTIFY changed)
    Q_PROPERTY(QString stepFolder READ stepFolder NOTIFY changed)
    // The one line the tab shows for the state: the step, the result, or why it failed.
    Q_PROPERTY(QString line READ line NOTIFY changed)
    Q_PROPERTY(int firstBad READ firstBad NOTIFY changed)
    Q_PROPERTY(QUrl changeLog READ changeLog NOTIFY changed)

public:
    enum State { Idle, Resumable, Fetching, Testing, Found, Failed };
    Q_ENUM(State)

    explicit BisectActions(QObject *parent = nullptr);

    State state() const { return m_state; }
    int step() const { return m_step; }
    QString stepFolder() const { return m_folder; }
    QString line() const { return m_line; }
    int firstBad() const { return m_firstBad; }
    QUrl changeLog() const { return m_changeLog; }

    // The builds a bisect starts from unless told otherwise: previous and current.
    Q_INVOKABLE static QString defaultGood();
    Q_INVOKABLE static QString defaultBad();
    // Good and bad: any query an install takes; copyProfile: each step on a copy of the own
    // profile made once, else on a fresh one.
    Q_INVOKABLE void start(const QString &good, const QString &bad, bool copyProfile);
    // Goes on with the bisect a restart interrupted, from the same step.
    Q_INVOKABLE void resume();
    // From QML by name: bisectActions.judge(BisectRange.Bad).
    Q_INVOKABLE void judge(BisectRange::Verdict verdict);
    // A failure read: back to the saved bisect, if there is one, else to nothing. Nothing goes.
    Q_INVOKABLE void dismiss();
    // Ends the bisect, keeping the first bad build when keepFirstBad; the step's profiles go.
    Q_INVOKABLE void stop(bool keepFirstBad = false);

signals:
    void changed();
    // For the notices: a step to judge, the range found, a saved bisect to go on with, a
    // failure.
    void stepStarted(int build, const QString &text);
    void resultFound(const QString &text);
    void resumeOffered(const QString &text);
    void failed(const QString &error);
    // A bisect ended by stop(), its builds gone or kept: the list of builds may have changed.
    void ended();

private:
    void stepReady(int build, const QString &browser);
    void launchStep();
    void fail(const QString &error);
    // Ends the session once the last step's browser has gone, keeping m_kept.
    void endSession();
    // Whether a saved bisect is there to go on with; the state says so.
    bool offerSaved();
    void set(State state, const QString &line);
    BisectSession *session();

    BisectSession *m_session = nullptr;
    StepLauncher m_launcher;
    State m_state = Idle;
    int m_step = -1;
    QString m_folder;
    QString m_line;
    int m_firstBad = -1;
    QUrl m_changeLog;
    // The step waits for the last step's browser to go.
    bool m_pending = false;
    // So does the session's end, and the builds it keeps.
    bool m_ending = false;
    QList<int> m_kept;
};

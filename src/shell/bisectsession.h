#pragma once

#include "browser/steplauncher.h"
#include "builds/bisectcache.h"
#include "update/bisectrange.h"

#include <QLockFile>
#include <QObject>
#include <QUrl>

#include <memory>

class BisectFetch;
class BuildChoice;
class ChangeLog;
class QNetworkAccessManager;

// A search for the build that broke something: the published builds between a good and a bad
// one, halved by the person's verdicts (or a script's). Each step's build comes into the
// bisect's cache, and the two that could follow it are fetched while it is tested. The state is
// written after every verdict, so a restart goes on with the same remaining range; a bad request
// says why in one line and leaves everything installed as it was.
class BisectSession : public QObject
{
    Q_OBJECT

public:
    // The step launcher's own: a fresh profile for each step, or a copy of the own one.
    using ProfileMode = StepLauncher::ProfileMode;

    explicit BisectSession(const InstallRoot &root, QObject *parent = nullptr);

    void setNetworkAccessManager(QNetworkAccessManager *manager);
    BisectCache cache() const { return m_cache; }
    const BisectRange &range() const { return m_range; }
    ProfileMode profileMode() const { return m_mode; }
    // The build being tested; -1 between steps.
    int step() const { return m_step; }

    // "GOOD..BAD", each a build number, version, milestone or day; empty for the previous
    // build to the current one. The saved bisect of the same request goes on where it was; one
    // of another request is ended first. Reports with stepReady(), found() or failed().
    void start(const QString &request, ProfileMode mode = StepLauncher::FreshProfile);
    // The saved bisect, if there is one that reads; false otherwise (a damaged one is removed).
    bool resume();
    void judge(BisectRange::Verdict verdict);
    // Ends the bisect: keeps the builds named (into versions/, pinned) and removes the rest
    // of the cache and the state. Empty on success, else why a build could not be kept.
    QString end(const QList<int> &kept = {});
    // Ends the saved bisect without going on with it; false while another process has it.
    bool discard();

    // The pieces, as pure functions: "GOOD..BAD" split, empty on anything else.
    static QStringList bounds(const QString &request);
    static QByteArray stateText(const QString &request, ProfileMode mode, const BisectRange &range);
    static bool readState(const QByteArray &data, QString *request, ProfileMode *mode,
                          BisectRange *range);

signals:
    void stepReady(int build, const QString &browser);
    void found(int lastGood, int firstBad, const QString &text, const QUrl &changeLog);
    // One line saying why the bisect cannot go on.
    void failed(const QString &error);

private:
    void chosen(int build);
    void begin();
    void proceed();
    void ready(int build);
    void finish();
    void fail(const QString &error);
    void save();
    // One bisect at a time per install root, in this process or another.
    bool claim();

    InstallRoot m_root;
    BisectCache m_cache;
    std::unique_ptr<QLockFile> m_lock;
    BuildChoice *m_choice;
    BisectFetch *m_fetch;
    ChangeLog *m_changeLog;
    QString m_request;
    QStringList m_bounds;
    QList<int> m_chosen;
    ProfileMode m_mode = StepLauncher::FreshProfile;
    BisectRange m_range;
    QList<int> m_used;
    int m_step = -1;
    // The step's build was reported ready.
    bool m_announced = false;
};

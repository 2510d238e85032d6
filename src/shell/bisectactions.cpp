#include "shell/bisectactions.h"

#include "install/installroot.h"

#include <QFileInfo>
#include <QTimer>

namespace {

QString buildOrNothing(int build)
{
    return build < 0 ? QString() : QString::number(build);
}

} // namespace

BisectActions::BisectActions(QObject *parent)
    : QObject(parent)
{
    connect(&m_launcher, &StepLauncher::started, this, [this] {
        const BisectRange &range = session()->range();
        const QString text
            = tr("Testing build %1: at most %2 steps left")
                  .arg(m_step)
                  .arg(mostStepsLeft(range.candidates().size() - range.skipped().size()));
        set(Testing, text);
        emit stepStarted(m_step, text);
    });
    connect(&m_launcher, &StepLauncher::failed, this, &BisectActions::fail);
    connect(&m_launcher, &StepLauncher::finished, this, [this] {
        if (std::exchange(m_pending, false))
            launchStep();
    });
    // A bisect a restart interrupted: offered once the view listens.
    if (offerSaved())
        QTimer::singleShot(0, this, [this] {
            if (m_state == Resumable)
                emit resumeOffered(m_line);
        });
}

bool BisectActions::offerSaved()
{
    const BisectCache cache { InstallRoot(InstallRoot::defaultPath()) };
    QString request;
    BisectSession::ProfileMode mode;
    BisectRange range;
    const std::optional<QByteArray> saved = cache.readState();
    if (!saved || !BisectSession::readState(*saved, &request, &mode, &range)) {
        set(Idle, QString());
        return false;
    }
    set(Resumable,
        tr("The bisect of builds %1 was interrupted at build %2").arg(request).arg(range.next()));
    return true;
}

void BisectActions::dismiss()
{
    if (m_state == Failed)
        offerSaved();
}

BisectSession *BisectActions::session()
{
    if (m_session)
        return m_session;
    m_session = new BisectSession(InstallRoot(InstallRoot::defaultPath()), this);
    connect(m_session, &BisectSession::stepReady, this, &BisectActions::stepReady);
    connect(m_session, &BisectSession::failed, this, &BisectActions::fail);
    connect(m_session, &BisectSession::found, this,
            [this](int, int firstBad, const QString &text, const QUrl &changeLog) {
                m_step = -1;
                m_folder.clear();
                m_firstBad = firstBad;
                m_changeLog = changeLog;
                set(Found, text);
                emit resultFound(text);
            });
    return m_session;
}

QString BisectActions::defaultGood()
{
    return buildOrNothing(InstallRoot(InstallRoot::defaultPath()).previousBuild());
}

QString BisectActions::defaultBad()
{
    return buildOrNothing(InstallRoot(InstallRoot::defaultPath()).currentBuild());
}

int BisectActions::mostStepsLeft(int candidates)
{
    // Each verdict halves what is left: n builds take floor(log2 n) + 1 at most.
    int steps = 0;
    while (steps < 31 && (1 << steps) <= candidates)
        ++steps;
    return steps;
}

void BisectActions::start(const QString &good, const QString &bad, bool copyProfile)
{
    if (m_state == Fetching || m_state == Testing)
        return;
    const QString from = good.trimmed().isEmpty() ? defaultGood() : good.trimmed();
    const QString to = bad.trimmed().isEmpty() ? defaultBad() : bad.trimmed();
    // Neither known: the session says why previous..current cannot be bisected.
    const QString request = from.isEmpty() && to.isEmpty() ? QString() : from + ".." + to;
    m_firstBad = -1;
    m_changeLog.clear();
    set(Fetching, tr("Looking for the builds between them …"));
    session()->start(request,
                     copyProfile ? BisectSession::CopiedProfile : BisectSession::FreshProfile);
}

void BisectActions::resume()
{
    if (m_state != Resumable && m_state != Failed)
        return;
    set(Fetching, tr("Fetching the build to test …"));
    if (!session()->resume())
        fail(tr("The bisect cannot go on: another one is under way, or its state is gone"));
}

void BisectActions::stepReady(int build, const QString &browser)
{
    m_step = build;
    m_folder = QFileInfo(browser).path();
    set(Fetching, tr("Starting build %1 …").arg(build));
    // The last step's browser goes first: two steps would share neither profile nor window.
    if (m_launcher.running()) {
        m_pending = true;
        m_launcher.stopStep();
        return;
    }
    launchStep();
}

void BisectActions::launchStep()
{
    const bool copy = session()->profileMode() == BisectSession::CopiedProfile;
    QString error;
    if (!m_launcher.start(
            m_folder, copy ? StepLauncher::CopyOfOwnProfile : StepLauncher::FreshProfile, &error))
        fail(error);
}

void BisectActions::judge(int verdict)
{
    if (m_state != Testing || verdict < BisectRange::Good || verdict > BisectRange::Skip)
        return;
    m_session->judge(BisectRange::Verdict(verdict));
    if (m_state != Testing)
        return;
    const int next = m_session->step();
    m_step = -1;
    set(Fetching,
        next < 0 ? tr("Looking up the change log …") : tr("Fetching build %1 …").arg(next));
}

void BisectActions::stop(bool keepFirstBad)
{
    QString problem;
    if (m_state == Resumable) {
        if (!session()->discard())
            problem = tr("Another bisect is under way");
    } else if (m_session && m_state != Idle && m_state != Failed) {
        problem = m_session->end(keepFirstBad && m_firstBad >= 0 ? QList<int> { m_firstBad }
                                                                 : QList<int>());
        if (problem.isEmpty() && keepFirstBad && m_firstBad >= 0)
            problem = tr("Build %1 is kept and pinned").arg(m_firstBad);
    }
    m_launcher.endBisect();
    m_pending = false;
    m_step = -1;
    m_folder.clear();
    set(Idle, problem);
}

void BisectActions::fail(const QString &error)
{
    m_step = -1;
    m_pending = false;
    m_folder.clear();
    set(Failed, error);
    emit failed(error);
}

void BisectActions::set(State state, const QString &line)
{
    m_state = state;
    m_line = line;
    emit changed();
}

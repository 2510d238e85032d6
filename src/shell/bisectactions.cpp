#include "shell/bisectactions.h"

#include "install/installroot.h"

#include <QFileInfo>
#include <QTimer>

#include <utility>

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
        const int most = session()->range().mostVerdictsLeft();
        const QString text
            = tr("Testing build %1: at most %n steps left", nullptr, most).arg(m_step);
        set(Testing, text);
        emit stepStarted(m_step, text);
    });
    connect(&m_launcher, &StepLauncher::failed, this, &BisectActions::fail);
    connect(&m_launcher, &StepLauncher::finished, this, [this] {
        if (m_ending)
            return endSession();
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
        // With no bisect to go on with, the builds left in the cache (by a browser still running
        // at its end, or a crash) are nobody's; one still in use stays. A damaged state goes
        // with its bisect at the next start.
        if (!saved)
            cache.clear();
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

void BisectActions::start(const QString &good, const QString &bad, bool copyProfile)
{
    if (m_state == Fetching || m_state == Testing)
        return;
    if (m_ending)
        return fail(tr("The last bisect is still ending: try again in a moment"));
    const QString from = good.trimmed().isEmpty() ? defaultGood() : good.trimmed();
    const QString to = bad.trimmed().isEmpty() ? defaultBad() : bad.trimmed();
    // Neither known: the session says why previous..current cannot be bisected.
    const QString request = from.isEmpty() && to.isEmpty() ? QString() : from + ".." + to;
    m_firstBad = -1;
    m_changeLog.clear();
    set(Fetching, tr("Looking for the builds between them …"));
    session()->start(request,
                     copyProfile ? StepLauncher::CopyOfOwnProfile : StepLauncher::FreshProfile);
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
    QString error;
    if (!m_launcher.start(m_folder, session()->profileMode(), &error))
        fail(error);
}

void BisectActions::judge(BisectRange::Verdict verdict)
{
    // QML hands any number in as a verdict.
    if (m_state != Testing || verdict < BisectRange::Good || verdict > BisectRange::Skip)
        return;
    m_session->judge(verdict);
    if (m_state != Testing)
        return;
    const int next = m_session->step();
    m_step = -1;
    set(Fetching,
        next < 0 ? tr("Looking up the change log …") : tr("Fetching build %1 …").arg(next));
}

void BisectActions::stop(bool keepFirstBad)
{
    const bool underWay = m_session && m_state != Idle && m_state != Failed && m_state != Resumable;
    QString problem;
    if (m_state == Resumable && !session()->discard())
        problem = tr("Another bisect is under way");
    // The step's browser goes first: the build it runs from would otherwise stay in the cache.
    m_launcher.endBisect();
    m_pending = false;
    m_step = -1;
    m_folder.clear();
    if (underWay) {
        m_kept = keepFirstBad && m_firstBad >= 0 ? QList<int> { m_firstBad } : QList<int>();
        m_ending = true;
        if (!m_launcher.running())
            return endSession();
    }
    set(Idle, problem);
}

void BisectActions::endSession()
{
    m_ending = false;
    const QList<int> kept = std::exchange(m_kept, {});
    QString problem = m_session->end(kept);
    if (problem.isEmpty() && !kept.isEmpty())
        problem = tr("Build %1 is kept and pinned").arg(kept.first());
    set(Idle, problem);
    emit ended();
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

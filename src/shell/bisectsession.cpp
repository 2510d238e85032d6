#include "shell/bisectsession.h"

#include "builds/bisectfetch.h"
#include "builds/buildchoice.h"
#include "builds/changelog.h"
#include "builds/publishedbuilds.h"
#include "common/updatelog.h"

#include <QDir>
#include <QRegularExpression>

#include <utility>

namespace {

const QByteArray requestKey = "request ";
const QByteArray profileKey = "profile ";

} // namespace

BisectSession::BisectSession(const InstallRoot &root, QObject *parent)
    : QObject(parent)
    , m_root(root)
    , m_cache(root)
    , m_choice(new BuildChoice(BuildSeries::native(), this))
    , m_fetch(new BisectFetch(root, m_cache.path(), this))
    , m_changeLog(new ChangeLog(this))
{
    connect(m_choice, &BuildChoice::chosen, this, [this](int build) { chosen(build); });
    connect(m_choice, &BuildChoice::failed, this, &BisectSession::fail);
    connect(m_fetch, &BisectFetch::ready, this, &BisectSession::ready);
    connect(m_fetch, &BisectFetch::failed, this, [this](int build, const QString &error) {
        // A build fetched ahead is fetched again once it is the one asked about.
        if (build == m_step)
            fail(tr("Build %1 could not be fetched: %2").arg(build).arg(error));
    });
    connect(m_changeLog, &ChangeLog::found, this, [this](const QUrl &link) {
        const int good = m_range.lastGood();
        const int bad = m_range.firstBad();
        emit found(
            good, bad,
            tr("The change is between build %1 (good) and build %2 (bad)").arg(good).arg(bad),
            link);
    });
}

void BisectSession::setNetworkAccessManager(QNetworkAccessManager *manager)
{
    m_choice->setNetworkAccessManager(manager);
    m_fetch->setNetworkAccessManager(manager);
    m_changeLog->setNetworkAccessManager(manager);
}

QStringList BisectSession::bounds(const QString &request)
{
    static const QRegularExpression form(
        QStringLiteral("^([^\\s.][^\\s]*?)\\.\\.([^\\s.][^\\s]*)$"));
    const QRegularExpressionMatch match = form.match(request);
    if (!match.hasMatch() || match.captured(2).contains(QStringLiteral("..")))
        return {};
    return { match.captured(1), match.captured(2) };
}

bool BisectSession::claim()
{
    if (m_lock && m_lock->isLocked())
        return true;
    QDir().mkpath(m_root.path());
    m_lock = std::make_unique<QLockFile>(m_cache.statePath() + QStringLiteral(".lock"));
    // Held for hours while a person tests: only a dead holder frees it.
    m_lock->setStaleLockTime(0);
    return m_lock->tryLock(0);
}

void BisectSession::start(const QString &request, ProfileMode mode)
{
    if (!claim())
        return fail(tr("Another bisect is under way"));
    m_mode = mode;
    m_bounds = bounds(request.trimmed());
    if (request.trimmed().isEmpty()) {
        const int previous = m_root.previousBuild();
        const int current = m_root.currentBuild();
        if (previous < 0 || current < 0)
            return fail(tr("There is no previous build to start from: give GOOD..BAD"));
        m_bounds = QStringList { QString::number(previous), QString::number(current) };
    } else if (m_bounds.isEmpty()) {
        return fail(tr("\"%1\" is no range of builds: give GOOD..BAD, such as 1350000..1360000")
                        .arg(request.left(100)));
    }
    m_request = m_bounds.join(QStringLiteral(".."));
    QString saved;
    ProfileMode savedMode = StepLauncher::FreshProfile;
    BisectRange savedRange;
    if (const std::optional<QByteArray> state = m_cache.readState()) {
        const bool read = readState(*state, &saved, &savedMode, &savedRange);
        if (read && saved == m_request) {
            qCInfo(lcUpdate) << "The bisect of" << m_request << "goes on where it was";
            resume();
            return;
        }
        if (!read) {
            qCWarning(lcUpdate) << "The saved bisect could not be read and is thrown away";
            m_cache.clear();
        }
    }
    m_chosen.clear();
    m_choice->resolve(m_bounds.first());
}

void BisectSession::chosen(int build)
{
    const QString &asked = m_bounds.value(m_chosen.size());
    bool number = false;
    const int wanted = asked.toInt(&number);
    // A bound given by number is that build, not the one below it.
    if (number && wanted != build)
        return fail(tr("Build %1 is not published").arg(wanted));
    m_chosen.append(build);
    if (m_chosen.size() < 2)
        m_choice->resolve(m_bounds.at(1));
    else
        begin();
}

void BisectSession::begin()
{
    const int good = m_chosen.at(0);
    const int bad = m_chosen.at(1);
    if (good >= bad)
        return fail(tr("The good build %1 is not below the bad build %2").arg(good).arg(bad));
    QList<int> numbers;
    QHash<int, QByteArray> generations;
    for (const PublishedBuilds::Build &published : m_choice->published()->builds()) {
        numbers.append(published.number);
        generations.insert(published.number, published.generation);
    }
    m_range = BisectRange(numbers, good, bad);
    if (m_range.candidates().isEmpty())
        return fail(tr("No published build lies between build %1 and build %2").arg(good).arg(bad));
    // Another bisect's builds are of no use to this one; they go only once this one can start.
    if (m_cache.readState()) {
        qCInfo(lcUpdate) << "A saved bisect ends for the bisect of" << m_request;
        m_cache.clear();
    }
    m_fetch->setGenerations(generations);
    m_used.clear();
    save();
    proceed();
}

bool BisectSession::resume()
{
    if (!claim())
        return false;
    const std::optional<QByteArray> state = m_cache.readState();
    if (!state)
        return false;
    if (!readState(*state, &m_request, &m_mode, &m_range)) {
        qCWarning(lcUpdate) << "The saved bisect could not be read and is thrown away";
        m_cache.clear();
        return false;
    }
    m_bounds = bounds(m_request);
    m_used = m_cache.builds();
    proceed();
    return true;
}

void BisectSession::proceed()
{
    if (m_range.isDone()) {
        m_step = -1;
        m_changeLog->find(m_range.lastGood(), m_range.firstBad());
        return;
    }
    m_step = m_range.next();
    m_announced = false;
    m_used.removeAll(m_step);
    m_used.append(m_step);
    m_fetch->want(QList<int> { m_step } + m_range.possibleNext());
}

void BisectSession::ready(int build)
{
    m_cache.trim(m_used, QList<int> { m_step } + m_range.possibleNext());
    if (build != m_step || std::exchange(m_announced, true))
        return;
    emit stepReady(build, m_cache.browserPath(build));
}

void BisectSession::judge(BisectRange::Verdict verdict)
{
    if (m_step < 0 || !m_announced)
        return;
    m_range.judge(m_step, verdict);
    m_step = -1;
    save();
    proceed();
}

QString BisectSession::end(const QList<int> &kept)
{
    QString problem;
    for (const int build : kept) {
        QString error;
        if (!m_cache.keep(build, &error))
            problem = error;
    }
    m_fetch->cancel();
    m_cache.clear();
    m_step = -1;
    m_lock.reset();
    return problem;
}

bool BisectSession::discard()
{
    if (!claim())
        return false;
    end();
    return true;
}

void BisectSession::fail(const QString &error)
{
    m_step = -1;
    // What is saved stays for the next start, which may be another process's.
    m_fetch->cancel();
    m_lock.reset();
    emit failed(error);
}

void BisectSession::save()
{
    if (!m_cache.writeState(stateText(m_request, m_mode, m_range)))
        qCWarning(lcUpdate) << "Could not keep the bisect's state in" << m_cache.statePath();
}

QByteArray BisectSession::stateText(const QString &request, ProfileMode mode,
                                    const BisectRange &range)
{
    return requestKey + request.toUtf8() + '\n' + profileKey
        + (mode == StepLauncher::CopyOfOwnProfile ? "copy" : "fresh") + '\n' + range.serialize();
}

bool BisectSession::readState(const QByteArray &data, QString *request, ProfileMode *mode,
                              BisectRange *range)
{
    const qsizetype first = data.indexOf('\n');
    const qsizetype second = data.indexOf('\n', first + 1);
    if (first < 0 || second < 0)
        return false;
    const QByteArray requestLine = data.left(first);
    const QByteArray profileLine = data.mid(first + 1, second - first - 1);
    const std::optional<BisectRange> read = BisectRange::deserialize(data.mid(second + 1));
    const QString asked = QString::fromUtf8(requestLine.mid(requestKey.size()));
    if (!requestLine.startsWith(requestKey) || bounds(asked).isEmpty() || !read
        || (profileLine != profileKey + "fresh" && profileLine != profileKey + "copy"))
        return false;
    *request = asked;
    *mode = profileLine.endsWith("copy") ? StepLauncher::CopyOfOwnProfile
                                         : StepLauncher::FreshProfile;
    *range = *read;
    return true;
}

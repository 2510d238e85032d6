#include "builds/chromedownloader.h"
#include "builds/versionchecker.h"
#include "common/endpoints.h"
#include "install/installroot.h"
#include "install/treeremoval.h"
#include "shell/qmlapplicationviewer.h"
#include "shell/windowhost.h"
#include "support/archivebuilder.h"
#include "support/fakeinstaller.h"
#include "support/loopbackserver.h"
#include "support/processstatus.h"
#include "support/testenvironment.h"
#include "support/viewprobe.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QEventLoop>
#include <QLoggingCategory>
#include <QSettings>
#include <QTimer>

#include <algorithm>
#include <numeric>

namespace {

double mean(const QList<qint64> &values)
{
    return values.isEmpty()
        ? 0.0
        : double(std::accumulate(values.begin(), values.end(), qint64(0))) / values.size();
}

enum class Fault {
    None,
    Stall,
    Reset,
    Truncated,
    ServerError,
    RedirectLoop,
    HashMismatch,
    HostileArchive,
    BrokenBuild,
    InstallerFails,
    InstallerCrashes,
};

} // namespace

// The program's update loop for a long while in one process: the real view and elements
// against a loopback storage that mixes good builds with every kind of failure. Runs for
// TARROWIN_SOAK_MINUTES minutes when set, a shorter round otherwise.
class TestSoak : public QObject
{
    Q_OBJECT

public:
    explicit TestSoak(TestEnvironment &environment)
        : m_environment(environment)
    {
    }

private slots:
    void initTestCase();
    void cleanupTestCase();
    void updatesForALongWhile();

private:
    // Serves build `build` with the given fault, in the series the fault belongs to.
    void serve(int build, Fault fault);
    // Runs one check and whatever it starts, until the view is idle again.
    bool settle();
    bool leftoversAreGone() const;

    TestEnvironment &m_environment;
    std::unique_ptr<LoopbackServer> m_server;
    std::unique_ptr<WindowHost> m_viewer;
    std::unique_ptr<ViewProbe> m_view;
    VersionChecker *m_checker = nullptr;
    ChromeDownloader *m_downloader = nullptr;
    QByteArray m_goodArchive;
};

void TestSoak::initTestCase()
{
    // Thousands of expected failures: their log lines would drown the summary.
    QLoggingCategory::setFilterRules(QStringLiteral("tarrowin.*=false"));
    FakeInstaller::prepare(m_environment.root());
    m_server = std::make_unique<LoopbackServer>();
    Endpoints::setBuildStorage(m_server->url());
    Endpoints::setMaker(m_server->url());
    m_server->serve(QStringLiteral("/tarrowin/latest_version"), "0.1.2");
    m_goodArchive = ArchiveBuilder::zip(ArchiveBuilder::chromeTree());
    BuildSeries::setNative(TestEnvironment::archiveSeries());
    QSettings().setValue(QStringLiteral("ShowNotifications"), false);

    m_viewer = Startup::createMainWindow({ QStringLiteral("tarrowin"), QStringLiteral("/tray") });
    m_view = std::make_unique<ViewProbe>(m_viewer.get());
    m_checker = qobject_cast<VersionChecker *>(m_view->object(QStringLiteral("versionChecker")));
    m_downloader
        = qobject_cast<ChromeDownloader *>(m_view->object(QStringLiteral("chromeDownloader")));
    QVERIFY(m_checker && m_downloader);
    // Faults that wait for a time-out wait briefly here.
    m_downloader->fetch()->setTransferTimeout(300);
    QVERIFY(settle());
}

void TestSoak::cleanupTestCase()
{
    m_view.reset();
    m_viewer.reset();
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

void TestSoak::serve(int build, Fault fault)
{
    const bool installer = fault == Fault::InstallerFails || fault == Fault::InstallerCrashes;
    BuildSeries::setNative(installer ? TestEnvironment::installerSeries()
                                     : TestEnvironment::archiveSeries());
    const BuildSeries series = BuildSeries::native();
    m_server->serve(series.lastChangePath(), QByteArray::number(build));
    const QString path = series.artifactPath(build);

    LoopbackServer::Response response;
    response.body = installer ? FakeInstaller::exitingWith(0) : m_goodArchive;
    response.headers.append(
        qMakePair(QByteArray("x-goog-hash"), LoopbackServer::storageHash(response.body)));
    switch (fault) {
    case Fault::None:
        break;
    case Fault::Stall:
        response.stallAfter = response.body.size() / 2;
        break;
    case Fault::Reset:
        response.closeAfter = response.body.size() / 2;
        break;
    case Fault::Truncated:
        response.announceLength = false;
        response.headers.clear();
        response.closeAfter = response.body.size() / 2;
        break;
    case Fault::ServerError:
        response.status = 500;
        response.body = "storage trouble";
        response.headers.clear();
        break;
    case Fault::RedirectLoop:
        m_server->redirect(path, path.toUtf8());
        return;
    case Fault::HashMismatch:
        response.headers = { qMakePair(QByteArray("x-goog-hash"),
                                       LoopbackServer::storageHash("something else")) };
        break;
    case Fault::HostileArchive: {
        QList<ArchiveBuilder::Entry> entries = ArchiveBuilder::chromeTree();
        ArchiveBuilder::Entry evil;
        evil.path = QStringLiteral("chrome-linux/../../evil");
        evil.data = "x";
        entries.append(evil);
        response.body = ArchiveBuilder::zip(entries);
        response.headers
            = { qMakePair(QByteArray("x-goog-hash"), LoopbackServer::storageHash(response.body)) };
        break;
    }
    case Fault::BrokenBuild:
        response.body = ArchiveBuilder::zip(ArchiveBuilder::chromeTree(1));
        response.headers
            = { qMakePair(QByteArray("x-goog-hash"), LoopbackServer::storageHash(response.body)) };
        break;
    case Fault::InstallerFails:
        response.body = FakeInstaller::exitingWith(1);
        response.headers.clear();
        break;
    case Fault::InstallerCrashes:
        response.body = FakeInstaller::crashing();
        response.headers.clear();
        break;
    }
    m_server->setResponse(path, response);
}

bool TestSoak::settle()
{
    QEventLoop loop;
    const auto quitWhenIdle = [&] {
        if (!m_checker->checking() && m_downloader->status() == ChromeDownloader::IdleStatus)
            loop.quit();
    };
    connect(m_checker, &VersionChecker::checkingChanged, &loop, quitWhenIdle, Qt::QueuedConnection);
    connect(m_downloader, &ChromeDownloader::currentStatusChanged, &loop, quitWhenIdle,
            Qt::QueuedConnection);
    QTimer limit;
    limit.setSingleShot(true);
    connect(&limit, &QTimer::timeout, &loop, [&] { loop.exit(1); });
    limit.start(30000);
    QMetaObject::invokeMethod(&loop, quitWhenIdle, Qt::QueuedConnection);
    return loop.exec() == 0;
}

bool TestSoak::leftoversAreGone() const
{
    const QDir temp(m_environment.tempDir());
    const QDir root(InstallRoot().path());
    // Trees and staging directories are removed off the GUI thread.
    TreeRemoval::waitForAll();
    return temp.entryList({ QStringLiteral("tarrowin-*") }, QDir::AllEntries | QDir::Hidden)
               .isEmpty()
        && root.entryList(
                   { QStringLiteral(".staging-*"), TreeRemoval::prefix + QStringLiteral("*") },
                   QDir::AllEntries | QDir::Hidden)
               .isEmpty();
}

void TestSoak::updatesForALongWhile()
{
    const double minutes = qEnvironmentVariable("TARROWIN_SOAK_MINUTES").toDouble();
    const QDeadlineTimer deadline(minutes > 0 ? qint64(minutes * 60000) : 60000);
    const int warmUpCycles = 4 * 15;
    const int minimumCycles = warmUpCycles + 100;
    const QList<Fault> plan
        = { Fault::None,        Fault::Stall,          Fault::None,
            Fault::Reset,       Fault::Truncated,      Fault::None,
            Fault::ServerError, Fault::RedirectLoop,   Fault::HashMismatch,
            Fault::None,        Fault::HostileArchive, Fault::BrokenBuild,
            Fault::None,        Fault::InstallerFails, Fault::InstallerCrashes };

    QList<qint64> resident;
    int build = 1000000;
    int installed = m_downloader->currentBuild();
    int cycles = 0;
    int checks = 0;
    int faults = 0;
    while (cycles < minimumCycles || !deadline.hasExpired()) {
        const Fault fault = plan.at(cycles % plan.size());
        serve(++build, fault);
        // The user's button: a failed build is not held back by the retry back-off here.
        (*m_view)(QStringLiteral("updateLoop.checkNow()"));
        QVERIFY2(settle(), qPrintable(QStringLiteral("cycle %1 did not settle").arg(cycles)));
        ++checks;

        if (fault == Fault::None) {
            QCOMPARE(m_downloader->lastError(), QString());
            installed = build;
        } else {
            ++faults;
            QVERIFY2(!m_downloader->lastError().isEmpty(),
                     qPrintable(QStringLiteral("cycle %1: a fault without a cause").arg(cycles)));
        }
        QCOMPARE(m_downloader->currentBuild(), installed);
        QCOMPARE(QSettings().value(QStringLiteral("CurrentBuild")).toInt(), installed);
        QVERIFY2(leftoversAreGone(), qPrintable(QStringLiteral("cycle %1 left files").arg(cycles)));

        // Checks that find nothing new: the cheap path the program takes all day.
        for (int i = 0; i < 20; ++i) {
            m_checker->checkLatestBuild();
            QVERIFY(settle());
            ++checks;
        }
        // The fixture keeps nothing of past rounds, so what grows is the program's.
        m_server->forget(BuildSeries::native().artifactPath(build));
        m_server->clearRequests();
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        // The first rounds fill caches that are then reused (the script heap, the network
        // and allocator pools): growth is measured once they are warm.
        if (cycles >= warmUpCycles)
            resident << ProcessStatus::kibibytes("VmRSS");
        ++cycles;
    }

    const qsizetype tenth = qMax<qsizetype>(1, resident.size() / 10);
    for (qsizetype i = 0; i + tenth <= resident.size(); i += tenth)
        qInfo("tenth %lld: %.1f MiB", i / tenth, mean(resident.mid(i, tenth)) / 1024);
    const double first = mean(resident.mid(0, tenth));
    const double last = mean(resident.mid(resident.size() - tenth));
    qInfo("soak: %d cycles (%d with faults), %d checks; resident %.1f MiB in the first tenth, "
          "%.1f MiB in the last",
          cycles, faults, checks, first / 1024, last / 1024);
    QVERIFY2(last - first < 2048, qPrintable(QStringLiteral("grew %1 KiB").arg(last - first)));
}

TARROWIN_TEST_MAIN(TestSoak, false)

#include "tst_soak.moc"

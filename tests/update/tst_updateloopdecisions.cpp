#include "settings/buildpins.h"
#include "update/checkschedule.h"
#include "update/updateloop.h"
#include "update/updatenotifier.h"
#include "update/updatewords.h"

#include <QScopeGuard>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTest>

#include <memory>

// The update loop and its words as the view drives them, without the view: what a check
// leads to, a link that turns metered, Exit, an outage, and the relaunch reminder.
class TestUpdateLoopDecisions : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void checkOutcome_data();
    void checkOutcome();
    void stayOnThisBuildUntilFollowing();
    void meteredUnderADownload_data();
    void meteredUnderADownload();
    void exit_data();
    void exit();
    void failedCheckSaysWhyOncePerOutage_data();
    void failedCheckSaysWhyOncePerOutage();
    void relaunchIsOfferedWhileAnOldBrowserRuns_data();
    void relaunchIsOfferedWhileAnOldBrowserRuns();
    void firstCheckComesWithinAMinute();

private:
    // A loop on a free link with build 100 installed, and its notifier; new for each row.
    std::unique_ptr<UpdateLoop> m_loop;
    std::unique_ptr<UpdateNotifier> m_notifier;
};

namespace {
// The clock the notifier times its notices by, in milliseconds.
qint64 testNow = 0;
const char *const noticeSignal
    = SIGNAL(noticeRequested(QString, QString, int, int, QString, QString, QStringList));
} // namespace

void TestUpdateLoopDecisions::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("TarrowinTest"));
    QCoreApplication::setApplicationName(QStringLiteral("tst_updateloopdecisions"));
    // No check of the loop's own comes while a row runs.
    CheckSchedule::setSpreading(false);
}

void TestUpdateLoopDecisions::init()
{
    QSettings().clear();
    m_loop = std::make_unique<UpdateLoop>();
    m_notifier = std::make_unique<UpdateNotifier>();
    m_notifier->setLoop(m_loop.get());
    m_loop->setCurrentBuild(100);
    m_loop->setMeteredKnown(true);
}

void TestUpdateLoopDecisions::checkOutcome_data()
{
    QTest::addColumn<int>("latest");
    // The settings' records of earlier attempts: failed build, attempts, skipped build.
    QTest::addColumn<QList<int>>("records");
    QTest::addColumn<bool>("userAsked");
    QTest::addColumn<bool>("metered");
    // The archive of `latest` is not published: the newest one that is.
    QTest::addColumn<int>("published");
    QTest::addColumn<int>("requested");
    QTest::addColumn<QString>("line");

    const QList<int> none { -1, 0, -1 };
    QTest::newRow("a newer build") << 101 << none << false << false << 0 << 101 << "Idle";
    QTest::newRow("the installed build") << 100 << none << false << false << 0 << -1 << "Idle";
    QTest::newRow("no build found") << -1 << none << false << false << 0 << -1 << "Idle";
    QTest::newRow("metered: waits")
        << 101 << none << false << true << 0 << -1 << "Waiting for an unmetered connection";
    QTest::newRow("gone back from")
        << 101 << QList<int> { -1, 0, 101 } << true << false << 0 << -1 << "Idle";
    QTest::newRow("failed twice, waits out its back-off")
        << 101 << QList<int> { 101, 2, -1 } << false << false << 0 << -1 << "Idle";
    QTest::newRow("failed twice, the user asks")
        << 101 << QList<int> { 101, 2, -1 } << true << false << 0 << 101 << "Idle";
    QTest::newRow("not published, an older one is")
        << 105 << none << false << false << 103 << 103
        << "Build 105 is not published yet; installing build 103";
    QTest::newRow("not published, nothing newer than installed")
        << 105 << none << false << false << 100 << 105 << "Idle";
}

void TestUpdateLoopDecisions::checkOutcome()
{
    QFETCH(int, latest);
    QFETCH(QList<int>, records);
    QFETCH(bool, userAsked);
    QFETCH(bool, metered);
    QFETCH(int, published);
    QFETCH(int, requested);
    QFETCH(QString, line);
    QSettings settings;
    if (records.at(0) != -1)
        settings.setValue(QStringLiteral("FailedBuild"), records.at(0));
    settings.setValue(QStringLiteral("FailedAttempts"), records.at(1));
    if (records.at(2) != -1)
        settings.setValue(QStringLiteral("SkippedBuild"), records.at(2));
    m_loop->setMetered(metered);
    QSignalSpy checks(m_loop.get(), &UpdateLoop::checkRequested);
    QSignalSpy downloads(m_loop.get(), &UpdateLoop::downloadRequested);
    if (userAsked)
        m_loop->checkNow();
    QCOMPARE(checks.size(), userAsked ? 1 : 0);
    m_loop->checkCompleted(latest);
    if (published) {
        m_loop->setDownloadStatus(UpdateLoop::Downloading);
        m_loop->buildNotPublished(latest, published);
    }
    QCOMPARE(downloads.isEmpty() ? -1 : downloads.last().first().toInt(), requested);
    QCOMPARE(m_notifier->statusLine(), line == "Idle" && published ? "Downloading" : line);
}

void TestUpdateLoopDecisions::stayOnThisBuildUntilFollowing()
{
    QSignalSpy checks(m_loop.get(), &UpdateLoop::checkRequested);
    QSignalSpy downloads(m_loop.get(), &UpdateLoop::downloadRequested);
    const auto entry = [](const QString &name, const QString &label) {
        return QVariant(QVariantMap { { "name", name }, { "label", label } });
    };
    QVERIFY(UpdateWords::trayMenu(-1, 100).contains(entry("stay", "Stay on this build")));
    m_notifier->choose("stay");
    m_loop->checkCompleted(101);
    QCOMPARE(m_notifier->statusLine(), "Staying on build 100; newer builds are not installed");
    QVERIFY(downloads.isEmpty());
    const QVariantList menu = UpdateWords::trayMenu(-1, 100, false, false, m_loop->stayBuild());
    QVERIFY(menu.contains(entry("follow", "Follow the newest build")));
    QVERIFY(!menu.contains(entry("stay", "Stay on this build")));

    QCOMPARE(m_loop->followNewestBuild(), QString());
    QCOMPARE(checks.size(), 1);
    m_loop->checkCompleted(101);
    QCOMPARE(downloads.size(), 1);
    // The build stayed on keeps its pin.
    QCOMPARE(BuildPins::pinned(), QList<int> { 100 });
}

void TestUpdateLoopDecisions::meteredUnderADownload_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("downloadOnMetered");
    QTest::addColumn<bool>("paused");
    // The link stays free; the battery runs low instead.
    QTest::addColumn<bool>("battery");
    QTest::newRow("downloading") << int(UpdateLoop::Downloading) << false << true << false;
    QTest::newRow("downloading, allowed on a metered link")
        << int(UpdateLoop::Downloading) << true << false << false;
    // Unpacking has nothing left to fetch.
    QTest::newRow("installing") << int(UpdateLoop::Installing) << false << false << false;
    QTest::newRow("low battery") << int(UpdateLoop::Downloading) << false << true << true;
    QTest::newRow("low battery, allowed") << int(UpdateLoop::Downloading) << true << false << true;
}

void TestUpdateLoopDecisions::meteredUnderADownload()
{
    QFETCH(int, status);
    QFETCH(bool, downloadOnMetered);
    QFETCH(bool, paused);
    QFETCH(bool, battery);
    // "Download on battery" stands in for "on metered connections" in the battery's rows.
    m_loop->setDownloadOnMetered(downloadOnMetered);
    m_loop->setDownloadOnBattery(downloadOnMetered);
    const auto setHeld = [this, battery](bool held) {
        battery ? m_loop->setLowBattery(held) : m_loop->setMetered(held);
    };
    QSignalSpy downloads(m_loop.get(), &UpdateLoop::downloadRequested);
    QSignalSpy pauses(m_loop.get(), &UpdateLoop::pauseRequested);
    m_loop->checkCompleted(101);
    m_loop->setDownloadStatus(status);
    setHeld(true);
    QCOMPARE(pauses.size(), paused ? 1 : 0);
    m_loop->setDownloadStatus(UpdateLoop::Idle);
    QCOMPARE(m_notifier->statusLine()
                 == (battery ? "Waiting for mains power" : "Waiting for an unmetered connection"),
             paused);
    // A free link again: the paused build goes on, once.
    setHeld(false);
    QCOMPARE(downloads.size(), paused ? 2 : 1);
    QCOMPARE(downloads.last().first().toInt(), 101);
    QCOMPARE(m_notifier->statusLine(), QStringLiteral("Idle"));
}

void TestUpdateLoopDecisions::exit_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("twice");
    QTest::addColumn<bool>("waits");
    QTest::newRow("idle") << int(UpdateLoop::Idle) << false << false;
    QTest::newRow("downloading") << int(UpdateLoop::Downloading) << false << false;
    QTest::newRow("installing") << int(UpdateLoop::Installing) << false << true;
    QTest::newRow("installing, asked again") << int(UpdateLoop::Installing) << true << false;
}

void TestUpdateLoopDecisions::exit()
{
    QFETCH(int, status);
    QFETCH(bool, twice);
    QFETCH(bool, waits);
    UpdateLoop &loop = *m_loop;
    UpdateNotifier &notifier = *m_notifier;
    QSignalSpy quits(&loop, &UpdateLoop::quitRequested);
    QSignalSpy windows(&loop, &UpdateLoop::windowRequested);
    loop.checkCompleted(123456);
    loop.setDownloadStatus(status);
    loop.exit();
    if (twice)
        loop.exit();
    QCOMPARE(quits.size(), waits ? 0 : 1);
    if (!waits)
        return;
    // The window comes up to say why it has not gone.
    QCOMPARE(windows.size(), 1);
    QCOMPARE(notifier.statusLine(),
             QStringLiteral("Finishing the installation of build 123456 \u2026"));
    loop.setDownloadStatus(UpdateLoop::Idle);
    QCOMPARE(quits.size(), 1);
}

void TestUpdateLoopDecisions::failedCheckSaysWhyOncePerOutage_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QString>("reason");
    QTest::addColumn<QString>("line");
    QTest::newRow("refused") << 0 << "Connection refused"
                             << "Cannot reach the build storage: Connection refused";
    QTest::newRow("404") << 404 << ""
                         << "The build storage answered 404";
    QTest::newRow("not a number") << 200 << ""
                                  << "The build storage answered without a build number";
}

void TestUpdateLoopDecisions::failedCheckSaysWhyOncePerOutage()
{
    QFETCH(int, status);
    QFETCH(QString, reason);
    QFETCH(QString, line);
    QSignalSpy notices(m_notifier.get(), noticeSignal);
    m_loop->checkCompleted(-1, status, reason);
    QCOMPARE(m_notifier->statusLine(), line);
    m_loop->checkCompleted(-1, status, reason);
    QCOMPARE(notices.size(), 1);
    QCOMPARE(notices.first().mid(0, 3),
             (QVariantList { line, "Cannot check for Chromium builds", 2 }));
    // Its notice nothing could show stays in the status line while the outage lasts...
    m_notifier->noticeLost(line);
    m_loop->checkCompleted(-1, status, reason);
    QCOMPARE(m_notifier->statusLine(), line);
    // ...and goes with it.
    m_loop->checkCompleted(100);
    QCOMPARE(m_notifier->statusLine(), QStringLiteral("Idle"));
    m_loop->checkCompleted(-1, 404);
    QCOMPARE(notices.size(), 2);
}

void TestUpdateLoopDecisions::relaunchIsOfferedWhileAnOldBrowserRuns_data()
{
    QTest::addColumn<QString>("meanwhile");
    QTest::addColumn<qint64>("later");
    QTest::addColumn<bool>("reminded");
    const qint64 day = RelaunchReminder::period;
    QTest::newRow("a day later") << "" << day << true;
    // The notice is gone, but a day has not passed.
    QTest::newRow("an hour later") << "" << day / 24 << false;
    QTest::newRow("Not now") << "notnow" << day << false;
    QTest::newRow("window up") << "window" << day << false;
    QTest::newRow("another notice up") << "sandbox" << day << false;
}

void TestUpdateLoopDecisions::relaunchIsOfferedWhileAnOldBrowserRuns()
{
    QFETCH(QString, meanwhile);
    QFETCH(qint64, later);
    QFETCH(bool, reminded);
    testNow = 0;
    RelaunchReminder::setClock([] { return testNow; });
    const auto realClock = qScopeGuard([] { RelaunchReminder::setClock(nullptr); });
    UpdateLoop &loop = *m_loop;
    UpdateNotifier &notifier = *m_notifier;
    QSignalSpy notices(&notifier, noticeSignal);
    loop.setCurrentBuild(5);
    notifier.setBrowserOutdated(true);
    notifier.installationSucceeded(5, QString());
    QVERIFY(
        UpdateWords::trayMenu(-1, 5, false, true)
            .contains(QVariantMap { { "name", "relaunch" }, { "label", "Relaunch Chromium" } }));
    QCOMPARE(notices.size(), 1);
    QCOMPARE(notices.first().mid(4),
             (QVariantList { "relaunch", "Relaunch", QStringList { "notnow", "Not now" } }));
    QCOMPARE(notices.first().first(),
             QStringLiteral("Chromium build 5 is installed. Relaunch Chromium to use it."));
    // The checks are the reminder's clock.
    testNow += later;
    if (meanwhile == "notnow")
        notifier.choose(meanwhile);
    else if (meanwhile == "window")
        notifier.setWindowVisible(true);
    else if (meanwhile == "sandbox")
        notifier.sandboxAllowed(true, QString());
    const qsizetype before = notices.size();
    loop.checkCompleted(-1);
    QCOMPARE(notices.size() - before, reminded ? 1 : 0);
    if (reminded)
        QCOMPARE(notices.last(), notices.first());
    // No reminder before a day has passed; a newer build asks again.
    loop.checkCompleted(-1);
    notifier.setBrowserOutdated(false);
    loop.setCurrentBuild(6);
    notifier.setBrowserOutdated(true);
    QCOMPARE(notices.size(), before + (reminded ? 2 : 1));
    notifier.relaunchFinished(false, false);
    QVERIFY(notifier.statusLine().contains("Chromium did not quit"));
    // A question waits for its answer.
    notifier.askBeforeGoingBack(7, "q", QString());
    QCOMPARE(notices.last().mid(4),
             (QVariantList { "openanyway", "Open anyway", QStringList { "cancel", "Cancel" } }));
}

void TestUpdateLoopDecisions::firstCheckComesWithinAMinute()
{
    CheckSchedule::setSpreading(true);
    const QDateTime before = QDateTime::currentDateTime();
    UpdateLoop loop;
    const QDateTime first = loop.nextCheck();
    QVERIFY(first >= before && first <= QDateTime::currentDateTime().addSecs(60));
    // The view binds its period after making the loop: that does not put the first check off.
    loop.setCheckCount(60);
    QCOMPARE(loop.nextCheck(), first);
    CheckSchedule::setSpreading(false);
}

QTEST_GUILESS_MAIN(TestUpdateLoopDecisions)
#include "tst_updateloopdecisions.moc"

#include "update/checkschedule.h"
#include "update/updatepolicy.h"

#include <QRandomGenerator>

#include <QTest>

// The update loop's decisions alone: no view, no server, no settings store.
class TestUpdatePolicy : public QObject
{
    Q_OBJECT

private slots:
    void shouldDownload_data();
    void shouldDownload();
    void retryAfterChecks_data();
    void retryAfterChecks();
    void publishedInstead_data();
    void publishedInstead();
    void checkPeriod_data();
    void checkPeriod();
    void firstChecksOfAFleetSpreadOverAMinute();
    void oneInTenPeriodsIsStretched();
};

using Records = UpdatePolicy::Records;
Q_DECLARE_METATYPE(Records)

namespace {
constexpr qint64 fiveMinutes = 300000;
constexpr qint64 longestPeriod = UpdatePolicy::longestPeriod;
} // namespace

void TestUpdatePolicy::shouldDownload_data()
{
    QTest::addColumn<Records>("records");
    QTest::addColumn<int>("checksSinceFailure");
    QTest::addColumn<bool>("userAsked");
    QTest::addColumn<int>("latest");
    QTest::addColumn<bool>("download");

    const Records installed { 100, -1, -1, 0 };
    QTest::newRow("newer") << installed << 0 << false << 101 << true;
    QTest::newRow("same") << installed << 0 << false << 100 << false;
    QTest::newRow("older") << installed << 0 << false << 99 << false;
    QTest::newRow("no number") << installed << 0 << false << -1 << false;
    QTest::newRow("nothing installed, build 0") << Records {} << 0 << false << 0 << true;

    const Records staying { 100, -1, -1, 0, 100 };
    QTest::newRow("staying on a build") << staying << 0 << false << 101 << false;
    QTest::newRow("staying, the user asks") << staying << 0 << true << 101 << false;

    const Records skipped { 100, 101, -1, 0 };
    QTest::newRow("the build gone back from") << skipped << 0 << false << 101 << false;
    QTest::newRow("the user asks for it: still skipped") << skipped << 0 << true << 101 << false;
    QTest::newRow("newer than the skipped build") << skipped << 0 << false << 102 << true;

    const Records failedOnce { 100, -1, 101, 1 };
    QTest::newRow("failed once, no check since") << failedOnce << 0 << false << 101 << false;
    QTest::newRow("failed once, one check since") << failedOnce << 1 << false << 101 << true;
    QTest::newRow("a newer build than the failed one") << failedOnce << 0 << false << 102 << true;
    QTest::newRow("the user asks: retried at once") << failedOnce << 0 << true << 101 << true;

    const Records failedOften { 100, -1, 101, 4 };
    QTest::newRow("failed 4 times, 7 checks since") << failedOften << 7 << false << 101 << false;
    QTest::newRow("failed 4 times, 8 checks since") << failedOften << 8 << false << 101 << true;
    // Five-minute checks: a day is 288 of them, the cap however often it failed.
    const Records failedForDays { 100, -1, 101, 30 };
    QTest::newRow("failed 30 times, a day less one check")
        << failedForDays << 287 << false << 101 << false;
    QTest::newRow("failed 30 times, a day") << failedForDays << 288 << false << 101 << true;
}

void TestUpdatePolicy::shouldDownload()
{
    QFETCH(Records, records);
    QFETCH(int, checksSinceFailure);
    QFETCH(bool, userAsked);
    QFETCH(int, latest);
    QFETCH(bool, download);
    QCOMPARE(
        UpdatePolicy::shouldDownload(latest, records, checksSinceFailure, userAsked, fiveMinutes),
        download);
}

void TestUpdatePolicy::retryAfterChecks_data()
{
    QTest::addColumn<int>("attempts");
    QTest::addColumn<qint64>("period");
    QTest::addColumn<int>("checks");

    // A day of one-minute checks: 1, 2, 4 ... 1024 apart, then the day's 1440 at most.
    const qint64 minute = 60000;
    QTest::newRow("no record") << 0 << minute << 1;
    QTest::newRow("first failure") << 1 << minute << 1;
    QTest::newRow("second failure") << 2 << minute << 2;
    QTest::newRow("eleventh failure") << 11 << minute << 1024;
    QTest::newRow("twelfth failure: a day") << 12 << minute << 1440;
    QTest::newRow("a thousand failures: a day") << 1000 << minute << 1440;
    QTest::newRow("daily checks: every one") << 30 << UpdatePolicy::day << 1;
    QTest::newRow("a period longer than a day") << 30 << 3 * UpdatePolicy::day << 1;
    QTest::newRow("a period not dividing a day") << 30 << qint64(7 * 3600000) << 4;
}

void TestUpdatePolicy::retryAfterChecks()
{
    QFETCH(int, attempts);
    QFETCH(qint64, period);
    QFETCH(int, checks);
    QCOMPARE(UpdatePolicy::retryAfterChecks(attempts, period), checks);
}

void TestUpdatePolicy::publishedInstead_data()
{
    QTest::addColumn<Records>("records");
    QTest::addColumn<int>("newest");
    QTest::addColumn<int>("instead");

    const Records installed { 100, -1, -1, 0 };
    QTest::newRow("newer than the installed build") << installed << 105 << 105;
    QTest::newRow("the installed build") << installed << 100 << -1;
    QTest::newRow("none listed") << installed << -1 << -1;
    QTest::newRow("not below the unpublished build") << installed << 110 << -1;
    QTest::newRow("the build gone back from") << Records { 100, 105, -1, 0 } << 105 << -1;
    QTest::newRow("failed, waiting out its back-off") << Records { 100, -1, 105, 3 } << 105 << -1;
}

void TestUpdatePolicy::publishedInstead()
{
    QFETCH(Records, records);
    QFETCH(int, newest);
    QFETCH(int, instead);
    QCOMPARE(UpdatePolicy::publishedInstead(110, newest, records, 1, false, fiveMinutes), instead);
}

void TestUpdatePolicy::checkPeriod_data()
{
    QTest::addColumn<int>("count");
    QTest::addColumn<int>("frame");
    QTest::addColumn<int>("period");
    QTest::newRow("minutes") << 7 << 0 << 420000;
    QTest::newRow("hours") << 2 << 1 << 7200000;
    QTest::newRow("days") << 3 << 2 << 259200000;
    QTest::newRow("largest minutes") << 35791 << 0 << 2147460000;
    QTest::newRow("too many minutes") << 99999 << 0 << 2147460000;
    QTest::newRow("too many hours") << 597 << 1 << 2145600000;
    QTest::newRow("too many days") << 25 << 2 << 2073600000;
    QTest::newRow("zero") << 0 << 0 << 60000;
    QTest::newRow("negative") << -4 << 1 << 3600000;
    QTest::newRow("unknown time frame") << 4 << 7 << 240000;
    QTest::newRow("no time frame chosen") << 4 << -1 << 240000;
}

void TestUpdatePolicy::checkPeriod()
{
    QFETCH(int, count);
    QFETCH(int, frame);
    QFETCH(int, period);
    QCOMPARE(UpdatePolicy::checkPeriod(count, frame), period);
}

void TestUpdatePolicy::firstChecksOfAFleetSpreadOverAMinute()
{
    QList<qint64> first;
    for (quint32 seed = 1; seed <= 100; ++seed) {
        QRandomGenerator random(seed);
        first << CheckSchedule::firstCheck(random);
    }
    const auto [earliest, latest] = std::minmax_element(first.cbegin(), first.cend());
    QVERIFY(*earliest >= 0 && *latest <= CheckSchedule::spread && *latest - *earliest >= 50000);
}

void TestUpdatePolicy::oneInTenPeriodsIsStretched()
{
    QRandomGenerator random(34);
    int stretched = 0;
    for (int i = 0; i < 1000; ++i) {
        const CheckSchedule::Wait wait = CheckSchedule::nextCheck(fiveMinutes, random);
        stretched += wait.stretched ? 1 : 0;
        QVERIFY(wait.delay >= fiveMinutes && wait.delay <= (wait.stretched ? 420000 : 360000));
        // A stretch must not take the longest period past what a timer holds.
        QVERIFY(CheckSchedule::nextCheck(longestPeriod, random).delay <= longestPeriod);
    }
    QVERIFY2(stretched >= 80 && stretched <= 120, qPrintable(QString::number(stretched)));
}

QTEST_APPLESS_MAIN(TestUpdatePolicy)
#include "tst_updatepolicy.moc"

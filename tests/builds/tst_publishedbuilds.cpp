#include "builds/buildchoice.h"
#include "builds/changelog.h"
#include "builds/publishedbuilds.h"
#include "builds/releasesservice.h"
#include "common/endpoints.h"
#include "settings/config.h"
#include "support/loopbackserver.h"
#include "support/publishedseries.h"
#include "support/testenvironment.h"

#include <QFile>
#include <QSignalSpy>

namespace {

const QString listing = QStringLiteral("/storage/v1/b/chromium-browser-snapshots/o");
const QString lastChange = QStringLiteral("/chromium-browser-snapshots/Linux_x64/LAST_CHANGE");

using PublishedSeries::objects;
using PublishedSeries::sparse;

QList<int> numbersOf(const QList<PublishedBuilds::Build> &builds)
{
    QList<int> numbers;
    for (const auto &build : builds)
        numbers.append(build.number);
    return numbers;
}

bool refreshed(PublishedBuilds &list)
{
    QSignalSpy finished(&list, &PublishedBuilds::finished);
    list.refresh();
    return finished.wait(10000) && finished.first().value(0).toBool();
}

} // namespace

class TestPublishedBuilds : public QObject
{
    Q_OBJECT

public:
    explicit TestPublishedBuilds(TestEnvironment &) { }

private slots:
    void init();
    void refreshCosts_data();
    void refreshCosts();
    void failedListingKeepsTheCache();
    void choose_data();
    void choose();
    void changeLog_data();
    void changeLog();
};

void TestPublishedBuilds::init()
{
    Config::remove(Config::BuildStorage);
    QFile::remove(PublishedBuilds(TestEnvironment::archiveSeries()).cachePath());
}

void TestPublishedBuilds::refreshCosts_data()
{
    QTest::addColumn<QList<int>>("cached");
    // Written in place of the cache when set: what a crash, a disk fault or a hand left.
    QTest::addColumn<QByteArray>("damage");
    QTest::addColumn<QList<int>>("published");
    QTest::addColumn<int>("listings");

    const QByteArray header = "tarrowin-published-builds 1\nLinux_x64/chrome-linux.zip\n";
    const QList<int> many = sparse(1024);
    QTest::newRow("cold") << QList<int>() << QByteArray() << many << 2;
    QTest::newRow("ten new") << many << QByteArray() << sparse(1034) << 1;
    QTest::newRow("more digits rescan") << QList<int> { 9999990, 9999995 } << QByteArray()
                                        << QList<int> { 9999990, 9999995, 10000003 } << 1;
    QTest::newRow("garbage") << many << QByteArray("\x89PNG\r\n") << many << 2;
    QTest::newRow("cut short") << many << QByteArray(header + "1350000 7 10") << many << 2;
    QTest::newRow("out of order") << many << QByteArray(header + "1350013 1 1 1\n1350000 1 1 1\n")
                                  << many << 2;
}

void TestPublishedBuilds::refreshCosts()
{
    QFETCH(QList<int>, cached);
    QFETCH(QByteArray, damage);
    QFETCH(QList<int>, published);
    QFETCH(int, listings);
    LoopbackServer server;
    Endpoints::setBuildStorage(server.url());
    server.serve(lastChange, QByteArray::number(published.constLast()));
    PublishedBuilds list(TestEnvironment::archiveSeries());
    // The cache as an earlier run left it.
    server.serveListingObjects(objects(cached.isEmpty() ? QList<int> { 1 } : cached));
    if (!cached.isEmpty())
        QVERIFY(refreshed(list));
    QFile file(list.cachePath());
    if (!damage.isEmpty())
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write(damage) && file.flush());
    file.close();
    server.clearRequests();
    server.serveListingObjects(objects(published));

    PublishedBuilds again(TestEnvironment::archiveSeries());
    QVERIFY(refreshed(again));
    QCOMPARE(numbersOf(again.builds()), published);
    const auto asked = server.requests().filter(listing);
    QCOMPARE(asked.size(), listings);
    QVERIFY(asked.first().contains("maxResults=1000"));
    QVERIFY(asked.first().contains("fields=items(name,size,generation,timeCreated)"));
    QCOMPARE(again.find(published.constLast())->size, published.constLast() * 10LL);
    // What was kept is the list whole.
    QVERIFY(file.open(QIODevice::ReadOnly));
    QCOMPARE(PublishedBuilds::deserialize(file.readAll(), list.series()).value(), again.builds());
}

void TestPublishedBuilds::failedListingKeepsTheCache()
{
    LoopbackServer server;
    Endpoints::setBuildStorage(server.url());
    server.serveListingObjects(objects(sparse(3)));
    PublishedBuilds list(TestEnvironment::archiveSeries());
    QVERIFY(refreshed(list));
    server.serve(listing, {}, 500);
    PublishedBuilds again(TestEnvironment::archiveSeries());
    QSignalSpy failed(&again, &PublishedBuilds::finished);
    again.refresh();
    QVERIFY(failed.wait(10000));
    QVERIFY(failed.first().value(1).toString().contains("list of builds could not be read"));
    QCOMPARE(numbersOf(again.builds()), sparse(3));
}

void TestPublishedBuilds::choose_data()
{
    QTest::addColumn<QString>("wanted");
    QTest::addColumn<int>("build"); // -1: none, and the error says why
    // The releases service's status and body; none: no service.
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("error");

    const QByteArray branches = R"([{"milestone": 131, "chromium_main_branch_position": 1350100},
        {"milestone": "132", "chromium_main_branch_position": "1351000"},
        {"milestone": 133, "chromium_main_branch_position": null}])";
    const QByteArray position = R"({"chromium_main_branch_position": 1350100})";
    QTest::newRow("a published number") << "1350014" << 1350014 << 0 << QByteArray() << "";
    QTest::newRow("a number in a gap") << "1350026" << 1350014 << 0 << QByteArray() << "";
    QTest::newRow("below the oldest")
        << "1349999" << -1 << 0 << QByteArray() << "Build 1349999 is not published";
    QTest::newRow("a day") << "2026-01-01" << 1350130 << 0 << QByteArray() << "";
    QTest::newRow("before the oldest") << "2025-12-31" << -1 << 0 << QByteArray()
                                       << "No build was published on or before 2025-12-31";
    QTest::newRow("a version") << "131.0.6778.85" << 1350093 << 200 << position << "";
    QTest::newRow("a list of one")
        << "131.0.6778.85" << 1350093 << 200
        << QByteArray(R"([{"chromium_main_branch_position": "1350100"}])") << "";
    QTest::newRow("an unknown version") << "131.0.6778.99" << -1 << 404 << QByteArray()
                                        << "The releases service does not know version";
    QTest::newRow("a milestone") << "M131" << 1350093 << 200 << branches << "";
    QTest::newRow("a milestone given as text") << "M132" << 1350989 << 200 << branches << "";
    QTest::newRow("not branched yet: the newest") << "M133" << 1363302 << 200 << branches << "";
    QTest::newRow("an unknown milestone")
        << "M140" << -1 << 200 << branches << "does not know milestone M140";
    QTest::newRow("the service is down")
        << "M131" << -1 << 0 << QByteArray() << "The releases service cannot be reached";
    QTest::newRow("the service fails")
        << "131.0.6778.85" << -1 << 503 << QByteArray() << "cannot be reached: HTTP status 503";
    QTest::newRow("no build named") << "131.0" << -1 << 0 << QByteArray() << "names no build";
}

void TestPublishedBuilds::choose()
{
    QFETCH(QString, wanted);
    QFETCH(int, build);
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(QString, error);
    QFile::remove(ReleasesService::cachePath());
    LoopbackServer storage;
    Endpoints::setBuildStorage(storage.url());
    storage.serveListingObjects(objects(sparse(1024)));
    LoopbackServer releases;
    Endpoints::setReleases(status ? releases.url() : QUrl("http://127.0.0.1:9"));
    for (const char *path : { "/fetch_version", "/fetch_milestones" })
        releases.serve(QLatin1String(path), answer, status);

    const auto resolve = [&wanted] {
        BuildChoice choice(TestEnvironment::archiveSeries());
        QSignalSpy chosen(&choice, &BuildChoice::chosen);
        QSignalSpy failed(&choice, &BuildChoice::failed);
        choice.resolve(wanted);
        if (!QTest::qWaitFor([&] { return chosen.size() + failed.size() > 0; }, 10000))
            return std::make_pair(-2, QString());
        return std::make_pair(chosen.isEmpty() ? -1 : chosen.first().value(0).toInt(),
                              failed.isEmpty() ? QString() : failed.first().value(0).toString());
    };
    const auto [chosen, why] = resolve();
    QCOMPARE(chosen, build);
    QVERIFY2(why.contains(error) && (error.isEmpty() == why.isEmpty()), qPrintable(why));
    // A branch point is kept for good: asked again, the service need not answer.
    releases.serve(QStringLiteral("/fetch_version"), {}, 503);
    releases.serve(QStringLiteral("/fetch_milestones"), {}, 503);
    if (build > 0 && status && build != 1363302)
        QCOMPARE(resolve().first, build);
}

// The change log of a bisect's result: between the commits the releases service names for both
// positions, between the positions where it names none, or nothing that reads as a commit.
void TestPublishedBuilds::changeLog_data()
{
    QTest::addColumn<int>("status"); // 0: no service
    QTest::addColumn<QByteArray>("answer");
    QTest::addColumn<QString>("link");

    const QString commit(40, QLatin1Char('c'));
    const QString positions = QStringLiteral("https://crrev.com/1350093..1350107");
    QTest::newRow("commits") << 200 << QByteArray(R"({"commit": ")" + commit.toLatin1() + "\"}")
                             << QStringLiteral("https://chromium.googlesource.com/chromium/src/"
                                               "+log/%1..%1")
                                    .arg(commit);
    QTest::newRow("unknown") << 404 << QByteArray() << positions;
    QTest::newRow("no commit") << 200 << QByteArray(R"({"commit": "c;rm -rf ~"})") << positions;
    QTest::newRow("down") << 0 << QByteArray() << positions;
}

void TestPublishedBuilds::changeLog()
{
    QFETCH(int, status);
    QFETCH(QByteArray, answer);
    QFETCH(QString, link);
    LoopbackServer releases;
    Endpoints::setReleases(status ? releases.url() : QUrl("http://127.0.0.1:9"));
    releases.serve(QStringLiteral("/fetch_commit"), answer, status);
    ChangeLog changes;
    QSignalSpy found(&changes, &ChangeLog::found);
    changes.find(1350093, 1350107);
    QVERIFY(found.wait(10000));
    QCOMPARE(found.first().value(0).toUrl().toString(), link);
}

TARROWIN_TEST_MAIN(TestPublishedBuilds, false)
#include "tst_publishedbuilds.moc"

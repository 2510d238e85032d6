#include "builds/buildchoice.h"
#include "builds/publishedbuilds.h"
#include "builds/releasesservice.h"
#include "common/endpoints.h"
#include "settings/config.h"
#include "support/loopbackserver.h"
#include "support/publishedseries.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
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
    QTest::newRow("nothing new") << many << QByteArray() << many << 1;
    QTest::newRow("more digits rescan")
        << QList<int> { 9999990, 9999995 } << QByteArray()
        << QList<int> { 9999990, 9999995, 9999999, 10000003, 10000004 } << 1;
    QTest::newRow("garbage") << many << QByteArray("\x89PNG\r\n") << many << 2;
    QTest::newRow("cut short") << many << QByteArray(header + "1350000 7 10") << many << 2;
    QTest::newRow("another series")
        << many << QByteArray("tarrowin-published-builds 1\nWin/mini_installer.exe\n") << many << 2;
    QTest::newRow("out of order") << many << QByteArray(header + "1350013 1 1 1\n1350000 1 1 1\n")
                                  << many << 2;
    QTest::newRow("not a number") << many << QByteArray(header + "13e5 1 1 1\n") << many << 2;
}

void TestPublishedBuilds::refreshCosts()
{
    QFETCH(QList<int>, cached);
    QFETCH(QByteArray, damage);
    QFETCH(QList<int>, published);
    QFETCH(int, listings);

    LoopbackServer server;
    Endpoints::setBuildStorage(server.url());
    server.serveListingObjects(objects(published));
    server.serve(lastChange, QByteArray::number(published.constLast()));
    PublishedBuilds list(TestEnvironment::archiveSeries());
    QList<PublishedBuilds::Build> before;
    QString next;
    QJsonArray items;
    for (const auto &object : objects(cached))
        items.append(object);
    PublishedBuilds::parsePage(QJsonDocument(QJsonObject { { "items", items } }).toJson(),
                               list.series(), &before, &next);
    QVERIFY(QDir().mkpath(PublishedBuilds::cacheDirectory()));
    QFile file(list.cachePath());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(damage.isEmpty() ? PublishedBuilds::serialize(list.series(), before) : damage);
    file.close();

    QSignalSpy finished(&list, &PublishedBuilds::finished);
    list.refresh();
    QVERIFY(finished.wait(10000));
    QCOMPARE(finished.first().value(0).toBool(), true);
    QCOMPARE(numbersOf(list.builds()), published);
    const auto asked = server.requests().filter(listing);
    QCOMPARE(asked.size(), listings);
    QVERIFY(asked.first().contains("maxResults=1000"));
    QVERIFY(asked.first().contains("fields=items(name,size,generation,timeCreated)"));
    const PublishedBuilds::Build *last = list.find(published.constLast());
    QVERIFY(last);
    QCOMPARE(last->size, published.constLast() * 10LL);
    QCOMPARE(last->generation, QByteArray::number(published.constLast() + 7));

    // What was kept is the list whole, and a new object finds it again.
    QVERIFY(file.open(QIODevice::ReadOnly));
    const auto kept = PublishedBuilds::deserialize(file.readAll(), list.series());
    QVERIFY(kept);
    QCOMPARE(*kept, list.builds());
}

void TestPublishedBuilds::failedListingKeepsTheCache()
{
    LoopbackServer server;
    Endpoints::setBuildStorage(server.url());
    server.serveListingObjects(objects(sparse(3)));
    PublishedBuilds list(TestEnvironment::archiveSeries());
    QSignalSpy finished(&list, &PublishedBuilds::finished);
    list.refresh();
    QVERIFY(finished.wait(10000));
    const QDateTime third = list.builds().at(2).created;
    QCOMPARE(list.newestCreatedBefore(third), sparse(3).at(1));
    QCOMPARE(list.newestAtOrBelow(sparse(3).at(2) - 1), sparse(3).at(1));
    QCOMPARE(list.newestAtOrBelow(sparse(3).at(0) - 1), -1);

    server.serve(listing, {}, 500);
    PublishedBuilds again(TestEnvironment::archiveSeries());
    again.refresh();
    QSignalSpy failed(&again, &PublishedBuilds::finished);
    QVERIFY(failed.wait(10000));
    QCOMPARE(failed.first().value(0).toBool(), false);
    QVERIFY(failed.first().value(1).toString().contains("list of builds could not be read"));
    QCOMPARE(numbersOf(again.builds()), sparse(3));
}

void TestPublishedBuilds::choose_data()
{
    QTest::addColumn<QString>("spec");
    // The releases service's answer: its path, status and body; no path, no service.
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("build"); // -1: none, and the error says why
    QTest::addColumn<QString>("error");

    const QString version = QStringLiteral("/fetch_version");
    const QString milestones = QStringLiteral("/fetch_milestones");
    const QByteArray branches = R"([{"milestone": 131, "chromium_main_branch_position": 1350100},
        {"milestone": "132", "chromium_main_branch_position": "1351000"},
        {"milestone": 133, "chromium_main_branch_position": null}])";
    const QByteArray position = R"({"version": "131.0.6778.85",
        "chromium_main_branch_position": 1350100})";
    QTest::newRow("a published number") << "1350014"
                                        << "" << 0 << QByteArray() << 1350014 << "";
    QTest::newRow("a number in a gap") << "1350026"
                                       << "" << 0 << QByteArray() << 1350014 << "";
    QTest::newRow("past the newest") << "9999999"
                                     << "" << 0 << QByteArray() << 1363302 << "";
    QTest::newRow("below the oldest")
        << "1349999"
        << "" << 0 << QByteArray() << -1 << "Build 1349999 is not published";
    QTest::newRow("a day") << "2026-01-01"
                           << "" << 0 << QByteArray() << 1350130 << "";
    QTest::newRow("the next day") << "2026-01-02"
                                  << "" << 0 << QByteArray() << 1350274 << "";
    QTest::newRow("before the oldest")
        << "2025-12-31"
        << "" << 0 << QByteArray() << -1 << "No build was published on or before 2025-12-31";
    QTest::newRow("a version") << "131.0.6778.85" << version << 200 << position << 1350093 << "";
    QTest::newRow("a list of one")
        << "131.0.6778.85" << version << 200
        << QByteArray(R"([{"chromium_main_branch_position": "1350100"}])") << 1350093 << "";
    QTest::newRow("an unknown version")
        << "131.0.6778.99" << version << 404 << QByteArray() << -1
        << "The releases service does not know version 131.0.6778.99";
    QTest::newRow("a version without a position")
        << "131.0.6778.99" << version << 200 << QByteArray("{}") << -1 << "does not know version";
    QTest::newRow("a version older than every build")
        << "1.0.0.1" << version << 200 << QByteArray(R"({"chromium_main_branch_position": 8})")
        << -1 << "No build of 1.0.0.1 is published";
    QTest::newRow("a milestone") << "M131" << milestones << 200 << branches << 1350093 << "";
    QTest::newRow("a milestone given as text")
        << "M132" << milestones << 200 << branches << 1350989 << "";
    QTest::newRow("a milestone not branched yet")
        << "M133" << milestones << 200 << branches << 1363302 << "";
    QTest::newRow("an unknown milestone")
        << "M140" << milestones << 200 << branches << -1 << "does not know milestone M140";
    QTest::newRow("milestones not a list")
        << "M131" << milestones << 200 << QByteArray("{}") << -1 << "answer could not be read";
    QTest::newRow("the service is down")
        << "M131"
        << "" << 0 << QByteArray() << -1 << "The releases service cannot be reached";
    QTest::newRow("the service fails") << "131.0.6778.85" << version << 503 << QByteArray() << -1
                                       << "cannot be reached: HTTP status 503";
    QTest::newRow("no spec") << "131.0"
                             << "" << 0 << QByteArray() << -1 << "names no build";
}

void TestPublishedBuilds::choose()
{
    QFETCH(QString, spec);
    QFETCH(QString, path);
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, build);
    QFETCH(QString, error);

    QFile::remove(ReleasesService::cachePath());
    LoopbackServer storage;
    Endpoints::setBuildStorage(storage.url());
    storage.serveListingObjects(objects(sparse(1024)));
    LoopbackServer releases;
    Endpoints::setReleases(path.isEmpty() ? QUrl("http://127.0.0.1:9") : releases.url());
    releases.serve(path, body, status);

    const auto resolve = [&spec](BuildChoice &choice) {
        QSignalSpy chosen(&choice, &BuildChoice::chosen);
        QSignalSpy failed(&choice, &BuildChoice::failed);
        choice.resolve(spec);
        return QTest::qWaitFor([&] { return chosen.size() + failed.size() > 0; }, 10000)
            ? std::make_pair(chosen.isEmpty() ? -1 : chosen.first().value(0).toInt(),
                             failed.isEmpty() ? QString() : failed.first().value(0).toString())
            : std::make_pair(-2, QString());
    };
    BuildChoice choice(TestEnvironment::archiveSeries());
    const auto [chosen, why] = resolve(choice);
    QCOMPARE(chosen, build);
    QVERIFY2(why.contains(error) && (error.isEmpty() == why.isEmpty()), qPrintable(why));
    // A branch point is kept for good: asked again, the service need not answer.
    if (build > 0 && !path.isEmpty() && build != sparse(1024).constLast()) {
        releases.serve(path, {}, 503);
        BuildChoice again(TestEnvironment::archiveSeries());
        QCOMPARE(resolve(again).first, build);
    }
}

TARROWIN_TEST_MAIN(TestPublishedBuilds, false)
#include "tst_publishedbuilds.moc"

#include "builds/catalogfetch.h"
#include "support/archivebuilder.h"
#include "support/loopbackserver.h"
#include "support/testenvironment.h"

#include <QNetworkAccessManager>
#include <QSignalSpy>

// The request for an archive's end, which names its entries while the rest still arrives.
class TestCatalogFetch : public QObject
{
    Q_OBJECT

public:
    explicit TestCatalogFetch(TestEnvironment &) { }

private slots:
    void readsTheCatalogFromTheEnd_data();
    void readsTheCatalogFromTheEnd();
};

void TestCatalogFetch::readsTheCatalogFromTheEnd_data()
{
    QTest::addColumn<bool>("serverRanges");
    QTest::addColumn<int>("entries"); // small files beside one of 400 000 bytes
    QTest::addColumn<QByteArray>("etag"); // what the answers name; the upload's is "c"
    QTest::addColumn<int>("requests");
    QTest::addColumn<bool>("read");
    QTest::newRow("the tail, pinned to the upload")
        << true << 3 << QByteArray("\"c\"") << 1 << true;
    QTest::newRow("a 200 instead of a 206") << false << 3 << QByteArray("\"c\"") << 1 << false;
    QTest::newRow("another upload answers") << true << 3 << QByteArray("\"d\"") << 1 << false;
    // Long names: the catalog is larger than the tail, and its start is asked for once.
    QTest::newRow("the catalog begins before the tail")
        << true << 2500 << QByteArray("\"c\"") << 2 << true;
}

void TestCatalogFetch::readsTheCatalogFromTheEnd()
{
    QFETCH(bool, serverRanges);
    QFETCH(int, entries);
    QFETCH(QByteArray, etag);
    QFETCH(int, requests);
    QFETCH(bool, read);
    QList<ArchiveBuilder::Entry> files(entries + 1);
    for (int i = 0; i < entries; ++i)
        files[i].path = QStringLiteral("chrome-linux/%1/f").arg(i, 100, 10, QLatin1Char('0'));
    files[entries] = { "chrome-linux/big", QByteArray(400000, 'b'), {}, 0644, {} };
    const QByteArray zip = ArchiveBuilder::zip(files, ArchiveBuilder::Compression::Store);
    LoopbackServer server;
    LoopbackServer::Response response;
    response.body = zip;
    response.ranges = serverRanges;
    response.headers = { { "ETag", etag }, { "x-goog-generation", "5" } };
    server.setResponse(QStringLiteral("/a.zip"), response);

    QNetworkAccessManager manager;
    CatalogFetch fetch;
    QSignalSpy finished(&fetch, &CatalogFetch::finished);
    fetch.start(&manager, { server.url(QStringLiteral("/a.zip")), zip.size(), "\"c\"", "5" }, 5000);
    QVERIFY(finished.wait(20000));
    QCOMPARE(fetch.result().catalog.has_value(), read);
    QCOMPARE(finished.count(), 1);
    const QByteArrayList ranges = server.rangeHeaders();
    QCOMPARE(ranges.size(), requests);
    const qint64 tail = zip.size() - ZipCatalog::tailSize;
    QCOMPARE(ranges.first(),
             "bytes=" + QByteArray::number(tail) + '-' + QByteArray::number(zip.size() - 1));
    QVERIFY(server.lastRequestHead().contains("If-Match: \"c\"\r\n"));
    QVERIFY(server.lastRequestHead().contains("x-goog-if-generation-match: 5\r\n"));
    if (!read)
        return;
    QCOMPARE(fetch.result().catalog->entries().size(), entries + 1);
    if (requests == 2)
        QCOMPARE(ranges.last(),
                 "bytes=" + QByteArray::number(fetch.result().tailFrom) + '-'
                     + QByteArray::number(tail - 1));
}

TARROWIN_TEST_MAIN(TestCatalogFetch, false)
#include "tst_catalogfetch.moc"

#include "transfer/crc32c.h"
#include "transfer/rangeplan.h"
#include <QTest>

using Ranges = QList<RangePlan::Range>;
using Progress = QList<RangePlan::Progress>;
using Pieces = QList<RangePlan::Piece>;

namespace {
// 400 bytes in four ranges of 100, with what each holds; strongly tagged, with a CRC-32C.
Ranges four(qint64 a, qint64 b, qint64 c, qint64 d, qint64 last = 399)
{
    return { { 0, 99, a }, { 100, 199, b }, { 200, 299, c }, { 300, last, d } };
}
const RangePlan::Record record { 1, "1", "\"a\"", 400, 0, four(0, 0, 0, 0), "crc.", {} };
} // namespace

bool operator==(const RangePlan::Range &a, const RangePlan::Range &b)
{
    return a.from == b.from && a.to == b.to && a.kept == b.kept;
}

// The arithmetic of ranges alone: no server, no file, no downloader.
class TestRangePlan : public QObject
{
    Q_OBJECT

private slots:
    void splits_data()
    {
        QTest::addColumn<qint64>("length"); // of 64 to 100
        QTest::addColumn<QByteArray>("etag");
        QTest::addColumn<QByteArray>("hash");
        QTest::addColumn<bool>("splits");
        const QByteArray a = "\"a\"", crc = "crc32c=AAAAAA==";
        QTest::newRow("large, tagged, CRC-32C") << qint64(64) << a << crc << true;
        QTest::newRow("below the threshold") << qint64(63) << a << crc << false;
        QTest::newRow("weak ETag") << qint64(64) << QByteArray("W/\"a\"") << crc << false;
        QTest::newRow("MD5 alone") << qint64(64) << a << QByteArray("md5=AAAAAA==") << false;
        QTest::newRow("garbled") << qint64(64) << a << crc + ",md5=?" << false;
    }
    void splits()
    {
        QFETCH(qint64, length);
        QFETCH(QByteArray, etag);
        QFETCH(QByteArray, hash);
        QTEST(RangePlan::splits(length, etag, ObjectHash::parse(hash), 64, 100), "splits");
    }
    void plan_data()
    {
        QTest::addColumn<qint64>("size");
        QTest::addColumn<Ranges>("ranges");
        QTest::newRow("even") << qint64(400) << four(0, 0, 0, 0);
        QTest::newRow("the last takes the remainder") << qint64(403) << four(0, 0, 0, 0, 402);
    }
    void plan()
    {
        QFETCH(qint64, size);
        QTEST(RangePlan::plan(size), "ranges");
    }
    void keep_data()
    {
        QTest::addColumn<Progress>("progress");
        QTest::addColumn<qint64>("kept");
        QTest::addColumn<Ranges>("ranges");
        QTest::newRow("each its own, never past its end")
            << Progress { { 150 }, { 30 }, { 0 }, { 9 } } << qint64(139) << four(100, 30, 0, 9);
        // One stream from what lies unbroken from byte 0: later ranges' bytes never count.
        QTest::newRow("a middle range refused")
            << Progress { { 100 }, { 30, 0, true }, { 100 }, { 100 } } << qint64(130) << Ranges();
        QTest::newRow("refused after a broken first")
            << Progress { { 40 }, { 100 }, { 0, 0, true }, { 100 } } << qint64(40) << Ranges();
    }
    void keep()
    {
        QFETCH(Progress, progress);
        QTEST(RangePlan::keep(record, progress).kept, "kept");
        QTEST(RangePlan::keep(record, progress).ranges, "ranges");
    }
    void checkpoint_data()
    {
        QTest::addColumn<Progress>("progress");
        QTest::addColumn<qint64>("kept");
        QTest::addColumn<Ranges>("ranges");
        QTest::newRow("all written")
            << Progress { { 100 }, { 50 }, { 0 }, { 7 } } << qint64(157) << four(100, 50, 0, 7);
        QTest::newRow("bytes waiting for the writer")
            << Progress { { 100, 20 }, { 50, 50 }, { 0 }, { 7, 1 } } << qint64(86)
            << four(80, 0, 0, 6);
    }
    void checkpoint()
    {
        QFETCH(Progress, progress);
        QTEST(RangePlan::checkpoint(record, progress).kept, "kept");
        QTEST(RangePlan::checkpoint(record, progress).ranges, "ranges");
    }
    void checkpointDue_data()
    {
        QTest::addColumn<qint64>("progress");
        QTest::addColumn<qint64>("size");
        QTest::addColumn<bool>("due");
        QTest::newRow("a sixteenth on") << qint64(1100) << qint64(1600) << true;
        QTest::newRow("less") << qint64(1099) << qint64(1600) << false;
        QTest::newRow("64 MiB of 2 GiB") << qint64(1000 + (64 << 20)) << (qint64(2) << 30) << true;
    }
    void checkpointDue()
    {
        QFETCH(qint64, progress);
        QFETCH(qint64, size);
        QTEST(RangePlan::checkpointDue(progress, 1000, size), "due");
    }
    void combine_data()
    {
        const QByteArray file = QByteArray("pieces of varied length").repeated(17);
        const auto piece = [&file](qint64 from, qint64 n) {
            return RangePlan::Piece { from, n, Crc32c::of(file.mid(from, n)) };
        };
        QTest::addColumn<Pieces>("pieces");
        QTest::addColumn<quint32>("crc");
        const Pieces inOrder { piece(0, 100), piece(100, 100), piece(200, 191) };
        QTest::newRow("in file order") << inOrder << Crc32c::of(file);
        QTest::newRow("as they finished")
            << Pieces { inOrder[2], inOrder[0], inOrder[1] } << Crc32c::of(file);
    }
    void combine()
    {
        QFETCH(Pieces, pieces);
        QTEST(RangePlan::combine(pieces), "crc");
    }
    void resumable_data()
    {
        QTest::addColumn<qint64>("have");
        QTest::addColumn<int>("status"); // -1: no answer at all
        QTest::addColumn<bool>("resumable");
        QTest::newRow("200, broken") << qint64(10) << 200 << true;
        QTest::newRow("206, broken") << qint64(399) << 206 << true;
        QTest::newRow("the network is down") << qint64(10) << -1 << true;
        QTest::newRow("answered without a status") << qint64(10) << 0 << false;
        QTest::newRow("500") << qint64(10) << 500 << false;
        QTest::newRow("whole") << qint64(400) << 200 << false;
    }
    void resumable()
    {
        QFETCH(qint64, have);
        QFETCH(int, status);
        QTEST(RangePlan::resumable(record, have, qMax(status, 0), status >= 0), "resumable");
    }
};
QTEST_APPLESS_MAIN(TestRangePlan)
#include "tst_rangeplan.moc"

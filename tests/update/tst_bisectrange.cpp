#include "update/bisectrange.h"

#include <QTest>

// The index arithmetic of a bisect: a script that answers "bad" from one build on (and "skip"
// for some) must end at the right pair within the counted verdicts halving allows, through a
// save and a read of the state after every verdict.
class TestBisectRange : public QObject
{
    Q_OBJECT

private slots:
    void findsTheChange_data();
    void findsTheChange();
};

namespace {

// Gaps between the numbers, as the storage has them.
QList<int> sparse(int count)
{
    QList<int> numbers;
    for (int i = 0; i < count; ++i)
        numbers.append(1350000 + i * 13 + i % 5);
    return numbers;
}

} // namespace

void TestBisectRange::findsTheChange_data()
{
    QTest::addColumn<QList<int>>("published");
    QTest::addColumn<int>("good");
    QTest::addColumn<int>("bad");
    QTest::addColumn<int>("breaks"); // the script says bad from this build on
    QTest::addColumn<QList<int>>("skips"); // the script says skip for these
    QTest::addColumn<int>("most"); // counted verdicts at most
    QTest::addColumn<int>("lastGood");
    QTest::addColumn<int>("firstBad");

    const QList<int> many = sparse(1024);
    QTest::newRow("1024 builds, in the middle") << many << many.first() << many.last() << many[600]
                                                << QList<int>() << 10 << many[599] << many[600];
    QTest::newRow("1024 builds, the first inside") << many << many.first() << many.last() << many[1]
                                                   << QList<int>() << 10 << many[0] << many[1];
    QTest::newRow("1024 builds, bad itself") << many << many.first() << many.last() << many.last()
                                             << QList<int>() << 10 << many[1022] << many[1023];
    QTest::newRow("bounds in gaps, not published")
        << many << 1350001 << 1350100 << many[5] << QList<int>() << 3 << many[4] << many[5];
    QTest::newRow("one candidate")
        << QList<int> { 10, 20, 30 } << 10 << 30 << 20 << QList<int>() << 1 << 10 << 20;
    QTest::newRow("two candidates")
        << QList<int> { 10, 20, 25, 30 } << 10 << 30 << 25 << QList<int>() << 2 << 20 << 25;
    QTest::newRow("unsorted, twice listed")
        << QList<int> { 30, 20, 10, 20, 25 } << 10 << 30 << 20 << QList<int>() << 2 << 10 << 20;
    QTest::newRow("the middle skipped: a neighbour")
        << many << many.first() << many.last() << many[600] << QList<int> { many[512] } << 11
        << many[599] << many[600];
    QTest::newRow("the change skipped: a wider pair")
        << QList<int> { 1, 2, 3, 4, 5, 6, 7, 8 } << 1 << 8 << 5 << QList<int> { 5 } << 4 << 4 << 6;
    QTest::newRow("everything skipped")
        << QList<int> { 1, 2, 3, 4 } << 1 << 4 << 3 << QList<int> { 2, 3 } << 0 << 1 << 4;
}

void TestBisectRange::findsTheChange()
{
    QFETCH(QList<int>, published);
    QFETCH(int, good);
    QFETCH(int, bad);
    QFETCH(int, breaks);
    QFETCH(QList<int>, skips);
    QFETCH(int, most);
    QFETCH(int, lastGood);
    QFETCH(int, firstBad);

    BisectRange range(published, good, bad);
    QList<int> asked;
    for (int step = 0; step < 2 * published.size() + 2 && !range.isDone(); ++step) {
        const int build = range.next();
        QVERIFY(!asked.contains(build));
        asked.append(build);
        const QList<int> ahead = range.possibleNext();
        const BisectRange::Verdict verdict = skips.contains(build) ? BisectRange::Skip
            : build >= breaks                                      ? BisectRange::Bad
                                                                   : BisectRange::Good;
        QVERIFY(range.judge(build, verdict));
        // What was fetched ahead is what is asked next, whichever way it went.
        if (verdict != BisectRange::Skip)
            QVERIFY(ahead.contains(range.next()));
        // A restart goes on with the same remaining range.
        const std::optional<BisectRange> read = BisectRange::deserialize(range.serialize());
        QVERIFY(read);
        QCOMPARE(read->serialize(), range.serialize());
        range = *read;
    }
    QVERIFY(range.isDone());
    QVERIFY2(range.counted() <= most, qPrintable(QString::number(range.counted())));
    QCOMPARE(range.lastGood(), lastGood);
    QCOMPARE(range.firstBad(), firstBad);
    QVERIFY(!range.judge(bad, BisectRange::Bad));
    QVERIFY(!BisectRange::deserialize(range.serialize().chopped(3)));
}

QTEST_GUILESS_MAIN(TestBisectRange)
#include "tst_bisectrange.moc"

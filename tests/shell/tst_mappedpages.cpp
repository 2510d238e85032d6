#include "shell/mappedpages.h"
#include "support/testenvironment.h"

#include <QTemporaryFile>
#include <QTest>

#include <sys/mman.h>
#include <unistd.h>

class TestMappedPages : public QObject
{
    Q_OBJECT

public:
    explicit TestMappedPages(TestEnvironment &) { }

private slots:
    void releasable_data();
    void releasable();
    void onlyPagesUsedSinceGoBack();
};

void TestMappedPages::releasable_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("expected");
    const QByteArray range = "7f00a0000000-7f00a0010000 ";
    const QByteArray file = " 00000000 08:01 1234 /usr/lib/libQt6Quick.so.6";
    QTest::newRow("code") << range + "r-xp" + file << true;
    QTest::newRow("read-only data") << range + "r--p" + file << true;
    QTest::newRow("writable data") << range + "rw-p" + file << false;
    QTest::newRow("shared") << range + "r--s" + file << false;
    QTest::newRow("another library") << range + "r-xp 00000000 08:01 1 /usr/lib/libc.so.6" << false;
    QTest::newRow("anonymous") << range + "r--p 00000000 00:00 0" << false;
    QTest::newRow("heap") << range + "rw-p 00000000 00:00 0 [heap]" << false;
    QTest::newRow("cut short") << QByteArray("7f00a0000000-7f00a0010000 r-xp") << false;
}

void TestMappedPages::releasable()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, expected);
    QCOMPARE(MappedPages::releasable(header, { "/libQt6Quick" }), expected);
}

// A private mapping of a file, as the loader makes a library's: one page written before it
// was made read-only (as relocations are), one read before the snapshot, one far from it after.
// Only the last goes; the written page keeps its bytes, and what went reads the file again.
void TestMappedPages::onlyPagesUsedSinceGoBack()
{
    const qsizetype page = sysconf(_SC_PAGESIZE);
    QTemporaryFile file;
    QVERIFY(file.open());
    QByteArray contents(64 * page, '\0');
    for (qsizetype i = 0; i < 64; ++i)
        contents[i * page] = char('a' + i);
    QCOMPARE(file.write(contents), contents.size());
    QVERIFY(file.flush());
    void *mapped
        = mmap(nullptr, contents.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE, file.handle(), 0);
    QVERIFY(mapped != MAP_FAILED);
    auto *bytes = static_cast<volatile char *>(mapped);
    const auto at = [&](int index) { return quintptr(mapped) + quintptr(index * page); };
    bytes[2 * page] = 'W';
    QCOMPARE(mprotect(mapped, contents.size(), PROT_READ), 0);
    QCOMPARE(char(bytes[0]), 'a');

    const MappedPages before = MappedPages::resident();
    QVERIFY(before.contains(at(0)));
    // Far enough that the kernel's read-around of the first page did not map it too.
    QVERIFY(!before.contains(at(40)));
    QVERIFY2(!before.contains(at(2)), "a written page is no longer the file's");
    QCOMPARE(char(bytes[40 * page]), char('a' + 40));
    QVERIFY(MappedPages::resident().contains(at(40)));

    MappedPages::releaseSince(before);
    const MappedPages after = MappedPages::resident();
    QVERIFY(after.contains(at(0)));
    QVERIFY(!after.contains(at(40)));
    QCOMPARE(char(bytes[2 * page]), 'W');
    QCOMPARE(char(bytes[40 * page]), char('a' + 40));
    munmap(mapped, contents.size());
}

TARROWIN_TEST_MAIN(TestMappedPages, false)
#include "tst_mappedpages.moc"

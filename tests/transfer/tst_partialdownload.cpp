#include "support/testshelf.h"
#include "transfer/partialdownload.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

class TestPartialDownload : public QObject
{
    Q_OBJECT

private slots:
    void onlyASmallFileOfTheUsersOwnIsARecord_data();
    void onlyASmallFileOfTheUsersOwnIsARecord();
};

void TestPartialDownload::onlyASmallFileOfTheUsersOwnIsARecord_data()
{
    // A command that puts something else in the written record's place.
    QTest::addColumn<QString>("replace");
    QTest::addColumn<bool>("resumes");
    QTest::newRow("the record as written") << "true" << true;
    QTest::newRow("a link to /dev/zero") << "ln -sf /dev/zero resume.json" << false;
    QTest::newRow("a FIFO") << "rm resume.json && mkfifo resume.json" << false;
    QTest::newRow("a directory") << "rm resume.json && mkdir resume.json" << false;
    QTest::newRow("larger than a record") << "printf %5000s >> resume.json" << false;
    // Nothing would judge the rest by the checksum the first answer named.
    QTest::newRow("written before records kept the first answer's checksum")
        << "sed -i 's/,\"md5\":\"\"//' resume.json" << false;
    // A 2 GiB file cut into a first piece and the rest, each range nearly whole: as long as
    // a record of ours grows.
    const QString cut = QStringLiteral(
        R"(n=%1; size=2147483648; first=16777216; share=$(( (size - first) / (n - 1) )); )"
        R"(truncate -s $size archive.part; r=; from=0; i=0; while [ $i -lt $n ]; do )"
        R"(to=$(( i == 0 ? first - 1 : i == n - 1 ? size - 1 : first + i * share - 1 )); )"
        R"(r="$r{\"from\":\"$from\",\"kept\":\"$((to - from))\",\"to\":\"$to\"},"; )"
        R"(from=$((to + 1)); i=$((i + 1)); done; printf '{"build":7,"crc32c":"AAAAAA==",)"
        R"("etag":"\\"0123456789abcdef0123456789abcdef\\"","generation":"1733600000000000",)"
        R"("md5":"AAAAAAAAAAAAAAAAAAAAAA==","ranges":[%s],"size":"%s"}' "${r%,}" $size)"
        R"( > resume.json)");
    QTest::newRow("33 ranges of a 2 GiB file") << cut.arg(33) << true;
    QTest::newRow("more ranges than a file is cut into") << cut.arg(34) << false;
    if (::getuid() == 0)
        QTest::newRow("another user's") << "chown 65534 resume.json" << false;
}

void TestPartialDownload::onlyASmallFileOfTheUsersOwnIsARecord()
{
    QFETCH(QString, replace);
    QFETCH(bool, resumes);
    QTemporaryDir root;
    const QString kept = root.filePath(QStringLiteral(".staging-kept"));
    QVERIFY(QDir().mkpath(kept) && QDir().mkpath(root.filePath(QStringLiteral("fresh"))));
    const QString write
        = R"(cd "$0" && printf %100s > archive.part && )"
          R"(echo '{"build":7,"etag":"e","size":"1000","kept":"100","md5":""}' > resume.json && )";
    QCOMPARE(
        QProcess::execute(QStringLiteral("sh"), { QStringLiteral("-c"), write + replace, kept }),
        0);
    const PartialDownload fresh(root.filePath(QStringLiteral("fresh")), testShelf());
    QCOMPARE(fresh.adopt(root.path(), 7).build, resumes ? 7 : -1);
    QVERIFY(!QFileInfo::exists(kept));
}

QTEST_GUILESS_MAIN(TestPartialDownload)
#include "tst_partialdownload.moc"

#include "builds/partialdownload.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QProcess>
#include <QTemporaryDir>

#include <unistd.h>

class TestPartialDownload : public QObject
{
    Q_OBJECT

public:
    explicit TestPartialDownload(TestEnvironment &) { }

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
    const PartialDownload fresh(root.filePath(QStringLiteral("fresh")));
    QCOMPARE(fresh.adopt(root.path(), 7).build, resumes ? 7 : -1);
    QVERIFY(!QFileInfo::exists(kept));
}

TARROWIN_TEST_MAIN(TestPartialDownload, false)
#include "tst_partialdownload.moc"

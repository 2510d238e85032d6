#include "builds/buildnumber.h"
#include "builds/buildquery.h"
#include "support/testenvironment.h"
#include "transfer/redirectrule.h"

class TestBuildNumber : public QObject
{
    Q_OBJECT

public:
    explicit TestBuildNumber(TestEnvironment &) { }

private slots:
    void parse_data();
    void parse();
    void redirectTarget_data();
    void redirectTarget();
    void query_data();
    void query();
};

void TestBuildNumber::parse_data()
{
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("build");

    QTest::newRow("six digits") << QByteArray("123456") << 123456;
    QTest::newRow("digits and a line break") << QByteArray("123456\n") << -1;
    QTest::newRow("digits and CR LF") << QByteArray("123456\r\n") << -1;
    QTest::newRow("trailing blank") << QByteArray("123456 ") << -1;
    QTest::newRow("leading blanks") << QByteArray("  123456") << 123456;
    QTest::newRow("leading tab and line break") << QByteArray("\t\n42") << 42;
    QTest::newRow("plus sign") << QByteArray("+7") << 7;
    QTest::newRow("zero") << QByteArray("0") << -1;
    QTest::newRow("minus zero") << QByteArray("-0") << -1;
    QTest::newRow("negative") << QByteArray("-5") << -5;
    QTest::newRow("largest") << QByteArray("2147483647") << 2147483647;
    QTest::newRow("beyond 32 bits") << QByteArray("2147483648") << -1;
    QTest::newRow("smallest") << QByteArray("-2147483648") << int(-2147483647 - 1);
    QTest::newRow("below 32 bits") << QByteArray("-2147483649") << -1;
    QTest::newRow("far beyond 64 bits") << QByteArray("99999999999999999999999") << -1;
    QTest::newRow("empty") << QByteArray() << -1;
    QTest::newRow("blanks only") << QByteArray("   ") << -1;
    QTest::newRow("sign only") << QByteArray("-") << -1;
    QTest::newRow("text") << QByteArray("<html>Not Found</html>") << -1;
    QTest::newRow("digits then text") << QByteArray("12a") << -1;
    QTest::newRow("two numbers") << QByteArray("1 2") << -1;
    QTest::newRow("hexadecimal") << QByteArray("0x10") << -1;
    QTest::newRow("embedded zero byte") << QByteArray("12\0"
                                                      "3",
                                                      4)
                                        << -1;
}

void TestBuildNumber::parse()
{
    QFETCH(QByteArray, body);
    QFETCH(int, build);
    QCOMPARE(BuildNumber::parse(body), build);
}

void TestBuildNumber::redirectTarget_data()
{
    QTest::addColumn<QUrl>("from");
    QTest::addColumn<QByteArray>("location");
    QTest::addColumn<QUrl>("target");

    const QUrl https(QStringLiteral("https://storage.example/a/b/mini_installer.exe"));
    const QUrl http(QStringLiteral("http://127.0.0.1:8080/a/b/mini_installer.exe"));

    QTest::newRow("absolute https") << https << QByteArray("https://mirror.example/x.exe")
                                    << QUrl(QStringLiteral("https://mirror.example/x.exe"));
    QTest::newRow("absolute path") << https << QByteArray("/c/x.exe")
                                   << QUrl(QStringLiteral("https://storage.example/c/x.exe"));
    QTest::newRow("relative path") << https << QByteArray("x.exe")
                                   << QUrl(QStringLiteral("https://storage.example/a/b/x.exe"));
    QTest::newRow("parent path") << http << QByteArray("../y.exe")
                                 << QUrl(QStringLiteral("http://127.0.0.1:8080/a/y.exe"));
    QTest::newRow("scheme-relative keeps https")
        << https << QByteArray("//cdn.example/x") << QUrl(QStringLiteral("https://cdn.example/x"));
    QTest::newRow("https to http refused")
        << https << QByteArray("http://mirror.example/x.exe") << QUrl();
    QTest::newRow("HTTPS to Http refused, any case")
        << QUrl(QStringLiteral("HTTPS://storage.example/")) << QByteArray("Http://m.example/x")
        << QUrl();
    QTest::newRow("http to https allowed") << http << QByteArray("https://mirror.example/x")
                                           << QUrl(QStringLiteral("https://mirror.example/x"));
    QTest::newRow("file scheme refused") << https << QByteArray("file:///etc/passwd") << QUrl();
    QTest::newRow("ftp refused") << http << QByteArray("ftp://mirror.example/x") << QUrl();
    QTest::newRow("blanks around") << https << QByteArray("  /c/x.exe ")
                                   << QUrl(QStringLiteral("https://storage.example/c/x.exe"));
}

void TestBuildNumber::redirectTarget()
{
    QFETCH(QUrl, from);
    QFETCH(QByteArray, location);
    QFETCH(QUrl, target);
    QCOMPARE(RedirectRule::target(from, location), target);
}

void TestBuildNumber::query_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("kind");
    // The query read back: what the releases service is asked and its answer kept under.
    QTest::addColumn<QString>("normal");

    const int number = BuildQuery::Number;
    const int version = BuildQuery::Version;
    const int milestone = BuildQuery::Milestone;
    const int date = BuildQuery::Date;
    const int invalid = BuildQuery::Invalid;
    QTest::newRow("number") << "1368529" << number << "1368529";
    QTest::newRow("beyond 32 bits") << "2147483648" << invalid << "";
    QTest::newRow("zero") << "0" << invalid << "";
    QTest::newRow("version") << "131.0.6778.85" << version << "131.0.6778.85";
    QTest::newRow("version with leading zeros") << "131.00.06778.085" << version << "131.0.6778.85";
    QTest::newRow("version of three parts") << "131.0.6778" << invalid << "";
    QTest::newRow("milestone") << "M131" << milestone << "M131";
    QTest::newRow("date") << "2026-11-01" << date << "2026-11-01";
    QTest::newRow("no leap day") << "2026-02-29" << invalid << "";
    QTest::newRow("empty") << "" << invalid << "";
}

void TestBuildNumber::query()
{
    QFETCH(QString, text);
    QFETCH(int, kind);
    QFETCH(QString, normal);
    const BuildQuery wanted = BuildQuery::parse(text);
    QCOMPARE(int(wanted.kind), kind);
    QCOMPARE(wanted.text(), normal);
    if (kind != BuildQuery::Invalid)
        QCOMPARE(BuildQuery::parse(wanted.text()), wanted);
}

TARROWIN_TEST_MAIN(TestBuildNumber, false)
#include "tst_buildnumber.moc"

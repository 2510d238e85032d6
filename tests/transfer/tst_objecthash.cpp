#include "transfer/crc32c.h"
#include "transfer/objecthash.h"

#include <QTest>

namespace {

QByteArray ascending()
{
    QByteArray bytes(32, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i);
    return bytes;
}

QByteArray descending()
{
    QByteArray bytes = ascending();
    std::reverse(bytes.begin(), bytes.end());
    return bytes;
}

// Digests of "hello": md5 from the published value, crc32c from the implementation checked
// against the RFC 3720 vectors below.
const QByteArray helloMd5 = QByteArray::fromBase64("XUFAKrxLKna5cZ2REBfFkg==");
const QByteArray helloCrc = QByteArray::fromHex("9a71bb4c");
const QByteArray otherMd5 = QByteArray(16, '\x11');
const QByteArray otherCrc = QByteArray::fromHex("01020304");

QByteArray header(const QByteArray &crc, const QByteArray &md5)
{
    return "crc32c=" + crc.toBase64() + ",md5=" + md5.toBase64();
}

} // namespace

class TestObjectHash : public QObject
{
    Q_OBJECT

private slots:
    void crc32c_data();
    void crc32c();
    void parse_data();
    void parse();
    void matches_data();
    void matches();
};

void TestObjectHash::crc32c_data()
{
    QTest::addColumn<QByteArray>("data");
    QTest::addColumn<uint>("crc");

    QTest::newRow("32 zero bytes") << QByteArray(32, '\0') << 0x8A9136AAu;
    QTest::newRow("32 0xFF bytes") << QByteArray(32, '\xFF') << 0x62A8AB43u;
    QTest::newRow("ascending") << ascending() << 0x46DD794Eu;
    QTest::newRow("descending") << descending() << 0x113FDB5Cu;
    QTest::newRow("check string") << QByteArray("123456789") << 0xE3069283u;
    QTest::newRow("hello") << QByteArray("hello") << 0x9A71BB4Cu;
    QTest::newRow("empty") << QByteArray() << 0u;
    // Long enough for the word-at-a-time loops, with a ragged tail.
    QByteArray patterned(4099, Qt::Uninitialized);
    for (qsizetype i = 0; i < patterned.size(); ++i)
        patterned[i] = char((i * 131 + 7) % 251);
    QTest::newRow("4099 patterned bytes") << patterned << 0x0E5E5E9Bu;
}

void TestObjectHash::crc32c()
{
    QFETCH(QByteArray, data);
    QFETCH(uint, crc);
    QCOMPARE(Crc32c::of(data), crc);
    QCOMPARE(Crc32c::ofPortable(data), crc);

    // Downloads arrive in pieces of any size; every split must give the same checksum.
    for (qsizetype piece = 1; piece <= 17; ++piece) {
        Crc32c running;
        for (qsizetype at = 0; at < data.size(); at += piece)
            running.addData(data.mid(at, piece));
        QCOMPARE(running.value(), crc);
    }
    // Ranges fetched apart, joined: every split must give it too.
    for (const qsizetype at : { qsizetype(0), data.size() / 3, data.size() }) {
        const QByteArray second = data.mid(at);
        QCOMPARE(Crc32c::combine(Crc32c::of(data.left(at)), Crc32c::of(second), second.size()),
                 crc);
    }
}

void TestObjectHash::parse_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<QByteArray>("crc32c");
    QTest::addColumn<QByteArray>("md5");
    QTest::addColumn<bool>("present");
    QTest::addColumn<bool>("malformed");

    const QByteArray none;
    QTest::newRow("both") << header(helloCrc, helloMd5) << helloCrc << helloMd5 << true << false;
    QTest::newRow("crc32c only, composite object")
        << QByteArray("crc32c=mnG7TA==") << helloCrc << none << true << false;
    QTest::newRow("md5 only") << QByteArray("md5=XUFAKrxLKna5cZ2REBfFkg==") << none << helloMd5
                              << true << false;
    QTest::newRow("two headers joined")
        << QByteArray("crc32c=mnG7TA==, md5=XUFAKrxLKna5cZ2REBfFkg==") << helloCrc << helloMd5
        << true << false;
    QTest::newRow("whitespace and case")
        << QByteArray("  CRC32C = mnG7TA== ,\tMd5=XUFAKrxLKna5cZ2REBfFkg==  ") << helloCrc
        << helloMd5 << true << false;
    QTest::newRow("unknown names ignored")
        << QByteArray("sha256=abc,crc32c=mnG7TA==,junk") << helloCrc << none << true << false;
    QTest::newRow("only unknown names")
        << QByteArray("sha1=AAAA") << none << none << false << false;
    QTest::newRow("bad base64") << QByteArray("crc32c=mn*7TA==,md5=XUFAKrxLKna5cZ2REBfFkg==")
                                << none << helloMd5 << true << true;
    QTest::newRow("url-safe alphabet")
        << QByteArray("md5=XUFAKrxLKna5cZ2REBfFkg__") << none << none << true << true;
    QTest::newRow("crc32c too long")
        << QByteArray("crc32c=mnG7TAA=") << none << none << true << true;
    QTest::newRow("md5 too short") << QByteArray("md5=mnG7TA==") << none << none << true << true;
    QTest::newRow("empty value") << QByteArray("crc32c=") << none << none << true << true;
    QTest::newRow("name without value") << QByteArray("md5") << none << none << true << true;
    QTest::newRow("conflicting repeats")
        << QByteArray("crc32c=mnG7TA==, crc32c=AQIDBA==") << helloCrc << none << true << true;
    QTest::newRow("empty") << QByteArray() << none << none << false << false;
    QTest::newRow("blank") << QByteArray(" , ") << none << none << false << false;
}

void TestObjectHash::parse()
{
    QFETCH(QByteArray, header);
    QFETCH(QByteArray, crc32c);
    QFETCH(QByteArray, md5);
    QFETCH(bool, present);
    QFETCH(bool, malformed);

    const ObjectHash::Expected expected = ObjectHash::parse(header);
    QCOMPARE(expected.present, present);
    QCOMPARE(expected.malformed, malformed);
    if (!malformed) {
        QCOMPARE(expected.crc32c, crc32c);
        QCOMPARE(expected.md5, md5);
    }
}

void TestObjectHash::matches_data()
{
    QTest::addColumn<QByteArray>("header");
    QTest::addColumn<bool>("chosen"); // only the hashes the header asks for are computed
    QTest::addColumn<bool>("matches");

    QTest::newRow("both match") << header(helloCrc, helloMd5) << false << true;
    QTest::newRow("crc32c only matches") << "crc32c=" + helloCrc.toBase64() << false << true;
    QTest::newRow("md5 mismatch only") << header(helloCrc, otherMd5) << false << false;
    QTest::newRow("crc32c mismatch only") << header(otherCrc, helloMd5) << false << false;
    QTest::newRow("both mismatch") << header(otherCrc, otherMd5) << false << false;
    QTest::newRow("crc32c byte order reversed")
        << "crc32c=" + QByteArray::fromHex("4cbb719a").toBase64() << false << false;
    QTest::newRow("absent header") << QByteArray() << false << true;
    QTest::newRow("malformed beside a match")
        << "md5=" + helloMd5.toBase64() + ",crc32c=!" << false << false;
    QTest::newRow("chosen: crc32c decides, md5 is not computed")
        << header(helloCrc, otherMd5) << true << true;
    QTest::newRow("chosen: crc32c mismatch") << header(otherCrc, helloMd5) << true << false;
    QTest::newRow("chosen: md5 alone is checked") << "md5=" + otherMd5.toBase64() << true << false;
    QTest::newRow("chosen: md5 alone matches") << "md5=" + helloMd5.toBase64() << true << true;
}

void TestObjectHash::matches()
{
    QFETCH(QByteArray, header);
    QFETCH(bool, chosen);
    QFETCH(bool, matches);

    ObjectHash hash;
    if (chosen)
        hash.choose(ObjectHash::parse(header));
    hash.addData("he");
    hash.addData("llo");
    QCOMPARE(hash.matches(ObjectHash::parse(header)), matches);
}

QTEST_APPLESS_MAIN(TestObjectHash)
#include "tst_objecthash.moc"

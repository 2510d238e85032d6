#include "builds/objectmetadata.h"
#include "common/endpoints.h"
#include "support/loopbackserver.h"
#include "support/testenvironment.h"

#include <QSettings>

namespace {

const QString object = QStringLiteral(
    "/storage/v1/b/chromium-browser-snapshots/o/Linux_x64%2F3010%2Fchrome-linux.zip");
// Digests of "hello".
const QByteArray helloCrc = QByteArray::fromHex("9a71bb4c");
const QByteArray helloMd5 = QByteArray::fromBase64("XUFAKrxLKna5cZ2REBfFkg==");
const QByteArray name = "Linux_x64/3010/chrome-linux.zip";

QByteArray answer(const QByteArray &named, const QByteArray &rest = ",\"generation\":\"1700\"")
{
    return "{\"name\":\"" + named + "\",\"size\":\"5\",\"crc32c\":\"" + helloCrc.toBase64()
        + "\",\"md5Hash\":\"" + helloMd5.toBase64() + '"' + rest + '}';
}

} // namespace

Q_DECLARE_METATYPE(ObjectMetadata::Transfer)

class TestObjectMetadata : public QObject
{
    Q_OBJECT

public:
    explicit TestObjectMetadata(TestEnvironment &) { }

private slots:
    void answers_data();
    void answers();
    void matches_data();
    void matches();
};

void TestObjectMetadata::answers_data()
{
    QTest::addColumn<int>("status"); // 0: nobody listens
    QTest::addColumn<QByteArray>("body");
    QTest::addColumn<int>("outcome");
    const QByteArray good = answer(name);
    QTest::newRow("good") << 200 << good << int(ObjectMetadata::Found);
    QTest::newRow("404") << 404 << QByteArray("{}") << int(ObjectMetadata::NotFound);
    QTest::newRow("500") << 500 << good << int(ObjectMetadata::Unreachable);
    QTest::newRow("malformed JSON") << 200 << good.chopped(1) << int(ObjectMetadata::Malformed);
    QTest::newRow("missing generation")
        << 200 << answer(name, {}) << int(ObjectMetadata::Malformed);
    QTest::newRow("wrong object") << 200 << answer("Linux_x64/3009/chrome-linux.zip")
                                  << int(ObjectMetadata::Malformed);
    QTest::newRow("huge body") << 200 << answer(name, ",\"x\":\"" + QByteArray(20000, 'x') + "\"")
                               << int(ObjectMetadata::Malformed);
    QTest::newRow("no answer") << 0 << QByteArray() << int(ObjectMetadata::Unreachable);
}

void TestObjectMetadata::answers()
{
    QFETCH(int, status);
    QFETCH(QByteArray, body);
    QFETCH(int, outcome);
    // A mirror in the settings is never asked: it is what is being checked.
    QSettings().setValue(QStringLiteral("BuildStorage"), QStringLiteral("https://127.0.0.1:9"));
    auto server = std::make_unique<LoopbackServer>();
    server->serve(object, body, status);
    Endpoints::setBuildStorage(server->url());
    if (status == 0)
        server.reset();

    ObjectMetadata metadata;
    std::optional<ObjectMetadata::Result> result;
    connect(&metadata, &ObjectMetadata::finished, this,
            [&](const ObjectMetadata::Result &answer) { result = answer; });
    metadata.fetch(TestEnvironment::archiveSeries(), 3010);
    QTRY_VERIFY_WITH_TIMEOUT(result, 10000);
    QCOMPARE(int(result->outcome), outcome);
    if (server)
        QCOMPARE(server->requests(),
                 QStringList { object + "?fields=size,generation,md5Hash,crc32c,name" });
    if (outcome == ObjectMetadata::Found) {
        QCOMPARE(result->size, 5);
        QCOMPARE(result->generation + result->expected.crc32c + result->expected.md5,
                 "1700" + helloCrc + helloMd5);
    }
}

void TestObjectMetadata::matches_data()
{
    QTest::addColumn<int>("outcome");
    QTest::addColumn<ObjectMetadata::Transfer>("transfer");
    QTest::addColumn<bool>("matches");
    const int found = ObjectMetadata::Found;
    using T = ObjectMetadata::Transfer;
    QTest::newRow("the same") << found << T { 5, "1700", helloCrc, helloMd5 } << true;
    QTest::newRow("no generation named") << found << T { 5, {}, helloCrc, helloMd5 } << true;
    QTest::newRow("another generation") << found << T { 5, "1699", helloCrc, helloMd5 } << false;
    QTest::newRow("longer") << found << T { 6, "1700", helloCrc, helloMd5 } << false;
    // Four bytes changed anywhere make any CRC-32C: the MD5 is what holds.
    QTest::newRow("crc forged") << found << T { 5, "1700", helloCrc, helloCrc + helloCrc } << false;
    QTest::newRow("md5 not computed") << found << T { 5, "1700", helloCrc, {} } << false;
    QTest::newRow("storage unreachable")
        << int(ObjectMetadata::Unreachable) << T { 5, "1700", helloCrc, helloMd5 } << false;
}

void TestObjectMetadata::matches()
{
    QFETCH(int, outcome);
    QFETCH(ObjectMetadata::Transfer, transfer);
    ObjectMetadata::Result origin = ObjectMetadata::parse(answer(name), QString::fromLatin1(name));
    QCOMPARE(origin.outcome, ObjectMetadata::Found);
    origin.outcome = ObjectMetadata::Outcome(outcome);
    QTEST(ObjectMetadata::matches(origin, transfer), "matches");
}

TARROWIN_TEST_MAIN(TestObjectMetadata, false)
#include "tst_objectmetadata.moc"

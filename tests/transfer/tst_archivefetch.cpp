#include "support/loopbackserver.h"
#include "support/testenvironment.h"
#include "support/testshelf.h"
#include "transfer/archivefetch.h"

#include <QDir>
#include <QLoggingCategory>
#include <QProcess>
#include <QScopeGuard>
#include <QTemporaryDir>

using Response = LoopbackServer::Response;
using Headers = QList<QPair<QByteArray, QByteArray>>;

namespace {

const QString object = QStringLiteral("/o/archive");
const int build = 3000;

// Bytes that differ from one place to the next, so that a piece out of place shows.
QByteArray content(char salt = 0, int size = 40000)
{
    QByteArray bytes(size, 0);
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7 + i / 251 + salt);
    return bytes;
}

// The transfer's account, line by line, while a case keeps it.
QStringList account;
void keepAccount(QtMsgType, const QMessageLogContext &context, const QString &line)
{
    if (QByteArray(context.category) == "tarrowin.update")
        account.append(line);
}
// Whether the spans, [from, to) each, cover [0, size) with nothing outside it.
bool covers(QList<QPair<qint64, qint64>> spans, qint64 size)
{
    std::sort(spans.begin(), spans.end());
    qint64 reached = 0;
    for (const auto &[from, to] : std::as_const(spans))
        reached = from <= reached && to <= size ? qMax(reached, to) : -1;
    return reached == size;
}
QByteArray range(qint64 from, qint64 to)
{
    return "bytes=" + QByteArray::number(from) + '-' + (to < 0 ? "" : QByteArray::number(to));
}

} // namespace

// The transfer alone: one object from a loopback server into a plain file in a temporary
// directory, its kept part and record beside it.
class TestArchiveFetch : public QObject
{
    Q_OBJECT

public:
    explicit TestArchiveFetch(TestEnvironment &) { }

private slots:
    void init();
    void redirects_data();
    void redirects();
    void failedTransfer_data();
    void failedTransfer();
    void keptPartAndTheAnswerToItsRange_data();
    void keptPartAndTheAnswerToItsRange();
    void droppedConnectionFetchesOnlyTheRest_data();
    void droppedConnectionFetchesOnlyTheRest();
    void largeFileComesInFourRanges_data();
    void largeFileComesInFourRanges();

private:
    // A staging directory of the root, with the part another one kept when `adopted` asks
    // for it, and its part opened for the transfer.
    PartialDownload staging(const QString &name, PartialDownload::Record *adopted = nullptr);
    // Starts `request` (the object into the part, by default) and waits for its end.
    void start(ArchiveFetch &fetch, ArchiveFetch::Request request = {});
    bool finish(ArchiveFetch &fetch) const
    {
        return QTest::qWaitFor([&] { return !fetch.isRunning(); }, 20000);
    }
    QByteArray part() const;

    std::unique_ptr<LoopbackServer> m_server;
    std::unique_ptr<QTemporaryDir> m_root;
    std::unique_ptr<QFile> m_file;
    int m_requested = 0;
    // What the transfers told was written.
    QList<QPair<qint64, qint64>> m_stored;
    qint64 m_received = -1;
    qint64 m_total = -1;
};

void TestArchiveFetch::init()
{
    m_server = std::make_unique<LoopbackServer>();
    m_root = std::make_unique<QTemporaryDir>();
    staging(QStringLiteral(".staging-1"));
    m_requested = 0;
    m_stored.clear();
    m_received = m_total = -1;
    ArchiveFetch::setRetryDelays({});
    ArchiveFetch::setParallelThreshold(64 * 1024 * 1024);
}

PartialDownload TestArchiveFetch::staging(const QString &name, PartialDownload::Record *adopted)
{
    const QString directory = m_root->filePath(name);
    QDir().mkpath(directory);
    const PartialDownload partial(directory, testShelf());
    if (adopted)
        *adopted = partial.adopt(m_root->path(), build);
    m_file = std::make_unique<QFile>(partial.partPath());
    m_file->open(adopted ? QIODevice::ReadWrite : QIODevice::ReadWrite | QIODevice::Truncate);
    return partial;
}

void TestArchiveFetch::start(ArchiveFetch &fetch, ArchiveFetch::Request request)
{
    if (request.url.isEmpty())
        request.url = m_server->url(object);
    request.file = m_file.get();
    request.record.build = build;
    connect(&fetch, &ArchiveFetch::requested, this, [this] { ++m_requested; });
    connect(&fetch, &ArchiveFetch::stored, this, [this](qint64 from, qint64 to) {
        m_stored.append({ from, to });
    });
    connect(&fetch, &ArchiveFetch::progressed, this, [this](qint64 received, qint64 total) {
        m_received = received;
        m_total = total;
    });
    fetch.start(request);
}

QByteArray TestArchiveFetch::part() const
{
    QFile file(m_file->fileName());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void TestArchiveFetch::redirects_data()
{
    QTest::addColumn<QByteArray>("location");
    QTest::addColumn<int>("status");
    QTest::addColumn<bool>("tls"); // the object is asked of an HTTPS server
    QTest::addColumn<int>("requests"); // to the object's own address
    QTest::addColumn<QString>("error"); // empty: the file arrives
    QTest::newRow("absolute, 302")
        << QByteArray("ABSOLUTE/mirror/a") << 302 << false << 1 << QString();
    QTest::newRow("absolute path, 301")
        << QByteArray("/mirror/a") << 301 << false << 1 << QString();
    QTest::newRow("relative, 307") << QByteArray("../mirror/a") << 307 << false << 1 << QString();
    // The first request and ten hops.
    QTest::newRow("a loop stops at the cap")
        << QByteArray("archive") << 302 << false << ArchiveFetch::maximumRedirects + 1
        << "Download failed: too many redirects";
    QTest::newRow("a downgrade to plain http is refused")
        << QByteArray("PLAIN/mirror/a") << 302 << true << 1
        << "Download failed: refused redirect to http://";
    // Only a 3xx redirects: a 200 that happens to carry a Location is the file itself.
    QTest::newRow("200 with Location is the file itself")
        << QByteArray("/mirror/a") << 200 << false << 1 << QString();
}

void TestArchiveFetch::redirects()
{
    QFETCH(QByteArray, location);
    QFETCH(int, status);
    QFETCH(bool, tls);
    QFETCH(int, requests);
    QFETCH(QString, error);
    LoopbackServer::trustTestCertificate();
    const auto secure = LoopbackServer::tls();
    LoopbackServer *origin = tls ? secure.get() : m_server.get();
    location.replace("ABSOLUTE", origin->url().toEncoded());
    location.replace("PLAIN", m_server->url().toEncoded());
    Response response;
    response.status = status;
    response.headers = { { "Location", location } };
    response.body = status == 200 ? content() : QByteArray();
    origin->setResponse(object, response);
    m_server->serve(QStringLiteral("/mirror/a"), content());

    ArchiveFetch fetch;
    ArchiveFetch::Request request;
    request.url = origin->url(object);
    start(fetch, request);
    QVERIFY(finish(fetch));
    QCOMPARE(fetch.result().error.left(error.size()), error);
    QCOMPARE(fetch.result().outcome,
             error.isEmpty() ? ArchiveFetch::Complete : ArchiveFetch::Failed);
    QCOMPARE(origin->requestCount(object), requests);
    const int hops = status == 200 || tls ? 0 : 1;
    QCOMPARE(m_requested, requests + (error.isEmpty() ? hops : 0));
    QCOMPARE(m_server->requestCount(QStringLiteral("/mirror/a")), error.isEmpty() ? hops : 0);
    QCOMPARE(part(), error.isEmpty() ? content() : QByteArray());
}

void TestArchiveFetch::failedTransfer_data()
{
    QTest::addColumn<Response>("response");
    QTest::addColumn<QString>("error");
    const QByteArray other = content(1);
    const auto answer
        = [](int status, qint64 closeAfter, qint64 stallAfter, const QByteArray &hash = {}) {
              Response r;
              r.status = status;
              r.body = content();
              r.closeAfter = closeAfter;
              r.stallAfter = stallAfter;
              if (!hash.isEmpty())
                  r.headers = { { "x-goog-hash", hash } };
              return r;
          };
    QTest::newRow("404") << answer(404, -1, -1) << "Download failed: HTTP 404";
    QTest::newRow("500") << answer(500, -1, -1) << "Download failed: HTTP 500";
    QTest::newRow("204 without the announced body") << answer(204, -1, -1) << "Download failed";
    QTest::newRow("redirect status without Location")
        << answer(302, -1, -1) << "Download failed: HTTP 302";
    QTest::newRow("cut off before the announced length")
        << answer(200, 20, -1) << "Download failed: ";
    QTest::newRow("stalls: no byte for the time-out") << answer(200, -1, 20) << "Download failed: ";
    const QString mismatch = QStringLiteral("The download did not match the storage's checksum");
    QTest::newRow("md5 differs") << answer(200, -1, -1, LoopbackServer::storageHash(other, 0, 1))
                                 << mismatch;
    QTest::newRow("crc32c differs (composite object)")
        << answer(200, -1, -1, LoopbackServer::storageHash(other, true, false)) << mismatch;
    QTest::newRow("both differ") << answer(200, -1, -1, LoopbackServer::storageHash(other))
                                 << mismatch;
    QTest::newRow("garbled header") << answer(200, -1, -1, "crc32c=***,md5=???") << mismatch;
    Response unproven = answer(200, -1, -1);
    unproven.announceLength = false;
    QTest::newRow("no length, no checksum: a cut-off body looks complete")
        << unproven << QStringLiteral("Download failed: the transfer ended without");
    Response huge = answer(200, -1, -1);
    huge.headers.append({ "Content-Length", QByteArray::number(qint64(3) << 30) });
    huge.announceLength = false;
    huge.endless = true;
    QTest::newRow("announces more than 2 GiB")
        << huge << QStringLiteral("Download failed: the file is larger than 2 GiB");
    Response trickle = answer(200, -1, -1);
    trickle.body = QByteArray(4096, 'x');
    trickle.trickleIntervalMs = 100;
    QTest::newRow("trickles below 1 KiB/s")
        << trickle << QStringLiteral("Download failed: the transfer stayed below 1 KiB/s");
    Response gone = answer(404, -1, -1);
    gone.body = "gone";
    QTest::newRow("404 with a body") << gone << QStringLiteral("Download failed: HTTP 404");
}

void TestArchiveFetch::failedTransfer()
{
    QFETCH(Response, response);
    QFETCH(QString, error);
    m_server->setResponse(object, response);

    ArchiveFetch fetch;
    fetch.setTransferTimeout(500);
    // 300 ms windows: the 100 ms trickle brings a few bytes per window, far below 1 KiB/s.
    fetch.setTrickleWindow(300);
    start(fetch);
    QVERIFY(finish(fetch));
    QVERIFY2(fetch.result().error.startsWith(error), qPrintable(fetch.result().error));
    QCOMPARE(fetch.result().outcome,
             response.status == 404 ? ArchiveFetch::NotFound : ArchiveFetch::Failed);
    QCOMPARE(fetch.result().httpStatus, response.status);
    QVERIFY(!fetch.result().partKept);
    QCOMPARE(m_requested, 1);
}

void TestArchiveFetch::keptPartAndTheAnswerToItsRange_data()
{
    QTest::addColumn<int>("status");
    QTest::addColumn<QByteArray>("contentRange");
    QTest::addColumn<QByteArray>("etag");
    QTest::addColumn<QByteArray>("generation");
    QTest::addColumn<bool>("startsOver");
    // The part is the first of two ranges, whole, and the second range is not begun.
    QTest::addColumn<bool>("ranged");
    // The answer sends no x-goog-hash and this byte of the rest altered (-1: none).
    QTest::addColumn<qint64>("altered");
    // The answer stalls after this many bytes of the rest, and the part is taken from under
    // the transfer as a killed run leaves it (-1: it does not stall).
    QTest::addColumn<qint64>("stallAfter");

    // The kept part is the file's first 1000 bytes; the storage has it as ETag "a", generation 1.
    // A Content-Range ending in '-' covers the rest of the file, one ending in '+' one byte more.
    const QByteArray a = "\"a\"", g = "1", rest = "bytes 1000-";
    QTest::newRow("206 for the rest") << 206 << rest << a << g << false << false << -1ll << -1ll;
    QTest::newRow("206 from a wrong start")
        << 206 << QByteArray("bytes 0-") << a << g << true << false << -1ll << -1ll;
    QTest::newRow("206 with a wrong total")
        << 206 << QByteArray("bytes 1000-+") << a << g << true << false << -1ll << -1ll;
    QTest::newRow("200: the whole file")
        << 200 << QByteArray() << a << g << false << false << -1ll << -1ll;
    QTest::newRow("416") << 416 << QByteArray() << a << g << true << false << -1ll << -1ll;
    QTest::newRow("206 of another upload (ETag)")
        << 206 << rest << QByteArray("\"b\"") << g << true << false << -1ll << -1ll;
    QTest::newRow("206 of another generation")
        << 206 << rest << a << QByteArray("2") << true << false << -1ll << -1ll;
    QTest::newRow("206 for the rest of a range")
        << 206 << rest << a << g << false << true << -1ll << -1ll;
    QTest::newRow("206 for the rest of a range, of another generation")
        << 206 << rest << a << QByteArray("2") << true << true << -1ll << -1ll;
    // Judged by the checksum the first answer named, which the record keeps.
    QTest::newRow("206 without a checksum, a byte altered")
        << 206 << rest << a << g << false << false << 10000ll << -1ll;
    QTest::newRow("206 for the rest of a range without a checksum, a byte altered")
        << 206 << rest << a << g << false << true << 10000ll << -1ll;
    // The record follows the part as it grows, so that the next start resumes it.
    QTest::newRow("206 for the rest, killed mid-way")
        << 206 << rest << a << g << false << false << -1ll << 8000ll;
}

void TestArchiveFetch::keptPartAndTheAnswerToItsRange()
{
    QFETCH(int, status);
    QFETCH(QByteArray, contentRange);
    QFETCH(QByteArray, etag);
    QFETCH(QByteArray, generation);
    QFETCH(bool, startsOver);
    QFETCH(bool, ranged);
    QFETCH(qint64, altered);
    QFETCH(qint64, stallAfter);
    const QByteArray body = content();
    const qint64 kept = 1000;
    const ObjectHash::Expected hash = ObjectHash::parse(LoopbackServer::storageHash(body));
    ArchiveFetch::Request request;
    request.record = { build, "1", "\"a\"", body.size(), kept, {}, hash.crc32c, hash.md5 };
    request.partial = staging(QStringLiteral(".staging-1"));
    QVERIFY(m_file->write(body.left(kept)) == kept);
    if (ranged) {
        request.record.ranges = { { 0, kept - 1, kept }, { kept, body.size() - 1, 0 } };
        QVERIFY(m_file->resize(body.size()));
    }
    QVERIFY(request.partial->save(request.record));

    Response whole;
    whole.body = body;
    whole.headers = { { "x-goog-hash", LoopbackServer::storageHash(body) },
                      { "ETag", "\"a\"" },
                      { "x-goog-generation", "1" } };
    Response answer = whole;
    answer.status = status;
    answer.headers = { { "ETag", etag }, { "x-goog-generation", generation } };
    if (altered < 0)
        answer.headers.append({ "x-goog-hash", LoopbackServer::storageHash(body) });
    answer.stallAfter = stallAfter;
    if (contentRange.endsWith('-') || contentRange.endsWith('+')) {
        const qint64 from = contentRange.mid(6, contentRange.indexOf('-') - 6).toLongLong();
        const qint64 total = body.size() + (contentRange.endsWith('+') ? 1 : 0);
        answer.headers.append({ "Content-Range",
                                contentRange.left(contentRange.indexOf('-') + 1)
                                    + QByteArray::number(total - 1) + '/'
                                    + QByteArray::number(total) });
        answer.body = body.mid(from);
        if (altered >= 0)
            answer.body[altered - from] = char(answer.body.at(altered - from) ^ 1);
    } else if (status != 200) {
        answer.body = "no";
    }
    m_server->setResponse(object, whole);
    m_server->setRangeResponse(object, answer);

    ArchiveFetch fetch;
    start(fetch, request);
    if (stallAfter >= 0) {
        QTRY_COMPARE_WITH_TIMEOUT(QFileInfo(m_file->fileName()).size(), kept + stallAfter, 20000);
        // Killed now: the next start adopts the part as the disk has it, grown.
        QVERIFY(QDir().mkpath(m_root->filePath(QStringLiteral(".staging-2"))));
        const PartialDownload::Record adopted
            = PartialDownload(m_root->filePath(QStringLiteral(".staging-2")), testShelf())
                  .adopt(m_root->path(), build);
        QCOMPARE(adopted.build, build);
        QVERIFY2(adopted.kept > kept, qPrintable(QString::number(adopted.kept)));
        return;
    }
    QVERIFY(finish(fetch));
    QCOMPARE(m_server->rangeHeaders().first(), range(kept, ranged ? body.size() - 1 : -1));
    QCOMPARE(m_server->rangeHeaders().size(), startsOver ? 2 : 1);
    if (altered >= 0) {
        QCOMPARE(fetch.result().error, "The download did not match the storage's checksum");
        return;
    }
    QCOMPARE(fetch.result().outcome, ArchiveFetch::Complete);
    QCOMPARE(part(), body);
    QCOMPARE(m_received, m_total);
}

void TestArchiveFetch::droppedConnectionFetchesOnlyTheRest_data()
{
    // The rest comes from an answer without a checksum and with a byte altered: the first
    // answer's checksum judges the whole file (an installer is not run from it).
    QTest::addColumn<bool>("altered");
    QTest::newRow("the rest comes") << false;
    QTest::newRow("the rest comes altered, without a checksum") << true;
}

void TestArchiveFetch::droppedConnectionFetchesOnlyTheRest()
{
    QFETCH(bool, altered);
    // Larger than the server's pieces: a cut right after the first would drop it whole.
    const QByteArray body = content(0, 3 << 20);
    Response response;
    response.body = body;
    response.headers
        = { { "x-goog-hash", LoopbackServer::storageHash(body) }, { "ETag", "\"a\"" } };
    response.closeAfter = body.size() * 9 / 10;
    response.ranges = true;
    if (altered) {
        response.rangeHeaders = { { "ETag", "\"a\"" } };
        response.rangeBody = body;
        response.rangeBody[body.size() - 10] = 'x';
    }
    m_server->setResponse(object, response);

    ArchiveFetch::setRetryDelays({ 10 });
    ArchiveFetch fetch;
    start(fetch);
    QVERIFY(finish(fetch));
    // A reset may drop what was still in flight: the rest starts at most where the cut was.
    const QByteArrayList ranges = m_server->rangeHeaders();
    QCOMPARE(ranges.size(), 2);
    QCOMPARE(ranges.first(), range(0, 16 * 1024 * 1024 - 1));
    const qint64 from = ranges.last().mid(6).chopped(1).toLongLong();
    QVERIFY2(from > 0 && from <= response.closeAfter, ranges.last());
    QCOMPARE(fetch.result().error,
             altered ? "The download did not match the storage's checksum" : QString());
    QCOMPARE(fetch.result().outcome, altered ? ArchiveFetch::Failed : ArchiveFetch::Complete);
    QCOMPARE(m_received, altered ? m_received : qint64(body.size()));
    // Each byte was told of as written, by the first try or the one that resumed it.
    QVERIFY(altered || covers(m_stored, body.size()));
}

void TestArchiveFetch::largeFileComesInFourRanges_data()
{
    QTest::addColumn<bool>("serverRanges");
    // The range cut half-way once (0: the first piece, 32: the last), -1: none.
    QTest::addColumn<int>("cut");
    // The cut range is held open instead, and the program exits (1) or is killed (2) and
    // starts again.
    QTest::addColumn<int>("restart");
    // The ranges' answers come from another upload (same ETag, generation 2, other bytes).
    QTest::addColumn<bool>("replaced");
    // Every answer comes in pieces of 512 bytes every 5 ms, so that the ranges interleave.
    QTest::addColumn<bool>("slow");
    QTest::newRow("the server answers ranges") << true << -1 << 0 << false << false;
    // Every range fails; the first piece is kept and the rest comes as one stream.
    QTest::newRow("the server ignores ranges") << false << -1 << 0 << false << false;
    // Only the rest of the range that dropped is asked for again.
    QTest::newRow("a range drops mid-way") << true << 2 << 0 << false << false;
    QTest::newRow("the first range drops mid-way") << true << 0 << 0 << false << false;
    QTest::newRow("the program exits while the last range runs")
        << true << 32 << 1 << false << false;
    // What the last checkpoint noted is kept: the file is not asked for whole again.
    QTest::newRow("the program is killed while the last range runs")
        << true << 32 << 2 << false << false;
    // Checkpoints come while the other ranges go on: each notes only what is in the file.
    // Four ranges at a time, the cut one held among them.
    QTest::newRow("the program is killed after checkpoints") << true << 1 << 2 << false << true;
    // Nothing is kept that mixes them: the file comes whole from the first upload.
    QTest::newRow("ranges from two generations") << true << -1 << 0 << true << false;
}

void TestArchiveFetch::largeFileComesInFourRanges()
{
    QFETCH(bool, serverRanges);
    QFETCH(int, cut);
    QFETCH(int, restart);
    QFETCH(bool, replaced);
    QFETCH(bool, slow);
    // Halves of ranges larger than the server's pieces, so that a cut keeps some of its bytes.
    const QByteArray body = content(0, slow ? 40000 : 12000000);
    // The first piece, then 32 ranges of at least 64 bytes (the threshold's sixteenth).
    const int count = 32;
    const qint64 piece = 256, share = (body.size() - piece) / count;
    const auto planned = [&](int i) {
        return i == 0
            ? range(0, piece - 1)
            : range(piece + (i - 1) * share, i == count ? body.size() - 1 : piece + i * share - 1);
    };
    const qint64 cutFrom = cut <= 0 ? 0 : piece + (cut - 1) * share;
    const qint64 cutTo = cut == count ? body.size() - 1
        : cut == 0                    ? piece - 1
                                      : cutFrom + share - 1;
    Response response;
    response.body = body;
    response.headers = { { "x-goog-hash", LoopbackServer::storageHash(body, true, false) },
                         { "ETag", "\"a\"" },
                         { "x-goog-generation", "1" } };
    response.ranges = serverRanges;
    response.cutRangeFrom = cut >= 0 ? cutFrom : -1;
    response.holdCut = restart;
    response.trickleIntervalMs = slow ? 5 : 0;
    response.trickleBytes = 512;
    if (replaced) {
        response.rangeBody = content(1);
        response.rangeHeaders = { { "ETag", "\"a\"" }, { "x-goog-generation", "2" } };
    }
    m_server->setResponse(object, response);

    ArchiveFetch::setParallelThreshold(1024);
    ArchiveFetch::setRetryDelays(restart ? QList<int>() : QList<int> { 10 });
    account.clear();
    QLoggingCategory::setFilterRules(QStringLiteral("tarrowin.update.info=true"));
    const auto restore = qScopeGuard(
        [previous = qInstallMessageHandler(keepAccount)] { qInstallMessageHandler(previous); });
    auto fetch = std::make_unique<ArchiveFetch>();
    ArchiveFetch::Request request;
    request.partial = staging(QStringLiteral(".staging-1"));
    start(*fetch, request);
    int atOnce = 0;
    if (restart) {
        const qint64 held = cutTo - cutFrom + 1 - (cutTo - cutFrom + 1) / 2;
        QTRY_COMPARE_WITH_TIMEOUT(m_received, body.size() - held, 20000);
        atOnce = m_server->mostAtOnce();
        // A kill leaves the staging directory as it is now; an exit writes its record.
        const QString directory = m_root->filePath(QStringLiteral(".staging-1"));
        if (restart == 2)
            QCOMPARE(QProcess::execute("cp", { "-a", directory, directory + "-killed" }), 0);
        fetch.reset();
        if (restart == 2)
            QVERIFY(QDir(directory).removeRecursively()
                    && QDir().rename(directory + "-killed", directory));
        m_file.reset();
        request.partial = staging(QStringLiteral(".staging-2"), &request.record);
        QVERIFY(request.record.kept > 0);
        // What was kept counts as written: the next start tells only of what it brings.
        for (const PartialDownload::Range &kept : std::as_const(request.record.ranges))
            m_stored.append({ kept.from, kept.from + kept.kept });
        if (request.record.ranges.isEmpty())
            m_stored.append({ 0, request.record.kept });
        fetch = std::make_unique<ArchiveFetch>();
        start(*fetch, request);
    }
    QVERIFY(finish(*fetch));
    QCOMPARE(fetch->result().error, QString());
    QCOMPARE(part(), body);
    QCOMPARE(m_received, qint64(body.size()));
    QVERIFY(covers(m_stored, body.size()));
    // Never more than four on the wire; the slow answers keep four busy.
    atOnce = restart ? atOnce : m_server->mostAtOnce();
    QVERIFY2(atOnce <= 4 && (!slow || atOnce == 4), QByteArray::number(atOnce));
    QByteArrayList ranges = m_server->rangeHeaders();
    if (restart == 2 || replaced) {
        // Where each range stood at the checkpoint depends on how the ranges raced; refused
        // ranges leave the whole file to be asked for again.
        QCOMPARE(ranges.count(QByteArray()), replaced ? 2 : 0);
        QCOMPARE(ranges.last(), replaced ? QByteArray() : ranges.last());
        return;
    }
    // The ranges start in file order (until one fails), so the file fills front to back.
    qint64 started = -1;
    for (const QString &line : std::as_const(account)) {
        if (line.startsWith("A range failed") || line.startsWith("Resuming"))
            break;
        const qint64 from = line.section(" bytes ", 1).section(' ', 0, 0).toLongLong();
        QVERIFY2(!line.startsWith("GET") || !from || from > std::exchange(started, from),
                 qPrintable(line));
    }
    // Each planned range once (after a refusal, those that had started), the range that
    // dropped once more from where it was cut (or before, by what was in flight); a server
    // that ignores ranges sends the rest as one stream after the first piece.
    QVERIFY(serverRanges || ranges.takeLast() == range(piece, -1));
    for (int i = 0, planCount = serverRanges ? count + 1 : ranges.size(); i < planCount; ++i)
        QVERIFY2(ranges.removeOne(planned(i)), planned(i));
    QCOMPARE(ranges.size(), cut >= 0 ? 1 : 0);
    if (cut >= 0) {
        const QByteArrayList rest = ranges.first().mid(6).split('-');
        QCOMPARE(rest.value(1).toLongLong(), cutTo);
        const qint64 from = rest.value(0).toLongLong();
        QVERIFY2(from > cutFrom && from <= cutFrom + (cutTo - cutFrom + 1) / 2, rest.value(0));
        // The log names the range that broke and its own answer, not the first request's.
        const QString failed = QStringLiteral("A range failed: bytes %1-%2, HTTP 206");
        QVERIFY(
            restart
            || account.filter("range failed").value(0).startsWith(failed.arg(cutFrom).arg(cutTo)));
    }
    // Nothing is sent twice: the first request asked only for what it keeps.
    QVERIFY(!serverRanges || cut >= 0 || m_server->bodyBytesSent() == body.size());
}

TARROWIN_TEST_MAIN(TestArchiveFetch, false)
#include "tst_archivefetch.moc"

#include "install/archivelibrary.h"
#include "install/archiveunpacker.h"
#include "install/pipelinedunpack.h"
#include "install/treeremoval.h"
#include "install/zipcatalog.h"
#include "support/archivebuilder.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QProcess>
#include <QRandomGenerator>
#include <QSemaphore>
#include <QSignalSpy>
#include <QThreadPool>
#include <QtConcurrent/QtConcurrentRun>
#include <QtEndian>

#include <random>
#include <sys/stat.h>

using ArchiveBuilder::Compression;
using ArchiveBuilder::Entry;
using Modes = QHash<QString, int>;

Q_DECLARE_METATYPE(ArchiveBuilder::Entry)
Q_DECLARE_METATYPE(ArchiveBuilder::Compression)

namespace {

int modeOf(const QString &path)
{
    struct stat info;
    return ::lstat(QFile::encodeName(path).constData(), &info) == 0 ? int(info.st_mode) : -1;
}

qint64 dataSize(const QList<Entry> &entries)
{
    qint64 sum = 0;
    for (const Entry &entry : entries)
        sum += entry.data.size();
    return sum;
}

QList<Entry> withChromeMode(int mode)
{
    QList<Entry> tree = ArchiveBuilder::chromeTree();
    tree[1].mode = mode;
    return tree;
}

// chrome followed by 512 KiB that do not compress: several blocks to inflate as they arrive.
QList<Entry> withLargeChrome()
{
    QList<Entry> tree = ArchiveBuilder::chromeTree();
    QByteArray noise(512 * 1024, Qt::Uninitialized);
    QRandomGenerator(7).fillRange(reinterpret_cast<quint32 *>(noise.data()), noise.size() / 4);
    tree[1].data += noise;
    return tree;
}

QList<Entry> treePlus(const Entry &extra)
{
    return ArchiveBuilder::chromeTree() << extra;
}

// Flips one byte of an entry's stored or compressed data, located through its local header.
QByteArray damageEntry(QByteArray zip, const QByteArray &name, int intoData)
{
    const qsizetype at = zip.indexOf(name) - 30;
    if (at < 0 || qFromLittleEndian<quint32>(zip.constData() + at) != 0x04034b50)
        return {};
    const uchar *header = reinterpret_cast<const uchar *>(zip.constData()) + at;
    const qsizetype data = at + 30 + qFromLittleEndian<quint16>(header + 26)
        + qFromLittleEndian<quint16>(header + 28);
    zip[data + intoData] = char(zip[data + intoData] ^ 0x55);
    return zip;
}

// Sets a little-endian field of the central header of `name`, or of the end record when
// `name` is empty.
QByteArray patched(QByteArray zip, const QByteArray &name, int field, quint32 value, int width = 4)
{
    const auto at
        = [&zip](qsizetype offset) { return reinterpret_cast<uchar *>(zip.data()) + offset; };
    const auto set = [&](qsizetype offset) {
        if (width == 2)
            qToLittleEndian<quint16>(quint16(value), at(offset));
        else
            qToLittleEndian<quint32>(value, at(offset));
        return zip;
    };
    const qsizetype end = zip.size() - 22;
    if (name.isEmpty())
        return set(end + field);
    // Bounded: every round moves on by a whole header.
    for (qsizetype offset = qFromLittleEndian<quint32>(at(end + 16)); offset < end;) {
        const int nameLength = qFromLittleEndian<quint16>(at(offset + 28));
        if (zip.mid(offset + 46, nameLength) == name)
            return set(offset + field);
        offset += 46 + nameLength + qFromLittleEndian<quint16>(at(offset + 30))
            + qFromLittleEndian<quint16>(at(offset + 32));
    }
    return {};
}

} // namespace

class TestArchiveUnpacker : public QObject
{
    Q_OBJECT

public:
    explicit TestArchiveUnpacker(TestEnvironment &) { }

private slots:
    void init();
    void cleanup();

    void libraryIsLoadedOnlyByName_data();
    void libraryIsLoadedOnlyByName();
    void unpacksGoodTree_data();
    void unpacksGoodTree();
    void refusesHostileArchive_data();
    void refusesHostileArchive();
    void refusesHostileArchiveWhilePipelined_data() { refusesHostileArchive_data(); }
    void refusesHostileArchiveWhilePipelined();
    void catalogAsksForWhatItLacks();
    void cancelMidwayLeavesNoTree();
    void typesZipCannotCarryArriveAsPlainFiles_data();
    void typesZipCannotCarryArriveAsPlainFiles();
    void refusesUnusableDestination_data();
    void refusesUnusableDestination();
    void cancelledBeforeStart();
    void unpacksOnSeveralThreadsAtOnce();

private:
    QString scene(const QString &name = QString()) const
    {
        return name.isEmpty() ? m_base.filePath(QStringLiteral("scene"))
                              : m_base.filePath(QStringLiteral("scene/") + name);
    }
    QString archive() const { return scene(QStringLiteral("build.zip")); }
    QString destination() const { return scene(QStringLiteral("tree")); }
    QString outsideFile() const { return scene(QStringLiteral("outside.txt")); }
    QString sentinel() const { return scene(QStringLiteral("sentinel")); }
    // Nothing but what init() put there: no tree, nothing beside it.
    void verifyNothingWritten();
    // Unpacks while the archive "arrives": written into a file of its size in shuffled
    // pieces, each announced once written. The bytes of `heldBack` come last, front to back,
    // once all else is unpacked and it is not; `cancel` then cancels instead. A `streamFrom`
    // lowers the streaming threshold: a held-back entry must then unpack from its first half.
    ArchiveUnpacker::Result unpackPipelined(const QByteArray &zip,
                                            const ArchiveUnpacker::Limits &limits = {},
                                            const QByteArray &heldBack = {}, bool cancel = false,
                                            qint64 streamFrom = 0);

    QTemporaryDir m_base;
};

void TestArchiveUnpacker::init()
{
    QVERIFY(QDir().mkpath(sentinel()));
    QFile outside(outsideFile());
    QVERIFY(outside.open(QIODevice::WriteOnly));
    outside.write("original");
}

void TestArchiveUnpacker::cleanup()
{
    QDir(scene()).removeRecursively();
}

void TestArchiveUnpacker::verifyNothingWritten()
{
    QCOMPARE(QFileInfo(destination()).exists() || QFileInfo(destination()).isSymLink(), false);
    QCOMPARE(QDir(scene()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
             QStringList({ "build.zip", "outside.txt", "sentinel" }));
    QVERIFY(QDir(sentinel()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    QFile outside(outsideFile());
    QVERIFY(outside.open(QIODevice::ReadOnly));
    QCOMPARE(outside.readAll(), QByteArray("original"));
    QCOMPARE(modeOf(outsideFile()) & 07777, 0644);
}

ArchiveUnpacker::Result TestArchiveUnpacker::unpackPipelined(const QByteArray &zip,
                                                             const ArchiveUnpacker::Limits &limits,
                                                             const QByteArray &heldBack,
                                                             bool cancel, qint64 streamFrom)
{
    ArchiveUnpacker::Result result;
    QFile file(archive());
    if (!file.open(QIODevice::ReadWrite | QIODevice::Unbuffered) || !file.resize(zip.size()))
        return { false, QStringLiteral("no archive file"), 0, 0 };
    // A tail too short for the directory: the catalog asks for more, as from the network.
    ZipCatalog catalog;
    qint64 needFrom = -1;
    if (!catalog.read(zip.right(64), zip.size(), &needFrom, &result.error)
        && (!result.error.isEmpty()
            || !catalog.read(zip.mid(needFrom), zip.size(), &needFrom, &result.error)))
        return result;
    PipelinedUnpack unpack(file.handle(), catalog, destination(), QStringLiteral("chrome-linux"),
                           limits);
    if (streamFrom > 0)
        unpack.setStreamingThreshold(streamFrom);
    QSignalSpy finished(&unpack, &PipelinedUnpack::finished);
    const auto threads = [] { return QDir(QStringLiteral("/proc/self/task")).count(); };
    const uint threadsBefore = threads();
    if (result.error = unpack.start(); !result.error.isEmpty())
        return result;

    qint64 heldFrom = 0, heldTo = 0, others = 0;
    for (const ZipCatalog::Entry &entry : catalog.entries()) {
        others += entry.size;
        if (entry.name == heldBack) {
            heldFrom = entry.headerOffset;
            heldTo = entry.spanEnd;
            others -= entry.size;
        }
    }
    // Pieces of 97 bytes, cut at the held entry's ends too.
    QList<qint64> cuts { heldFrom, heldTo, zip.size() };
    for (qint64 at = 0; at < zip.size(); at += 97)
        cuts << at;
    std::sort(cuts.begin(), cuts.end());
    cuts.erase(std::unique(cuts.begin(), cuts.end()), cuts.end());
    QList<std::pair<qint64, qint64>> pieces, held;
    for (qsizetype i = 0; i + 1 < cuts.size(); ++i)
        (cuts[i] >= heldFrom && cuts[i] < heldTo ? held : pieces)
            << std::pair(cuts[i], cuts[i + 1]);
    std::shuffle(pieces.begin(), pieces.end(), std::mt19937(zip.size()));
    const auto arrive = [&](const QList<std::pair<qint64, qint64>> &some) {
        for (const auto &[from, to] : some) {
            file.seek(from);
            file.write(zip.mid(from, to - from));
            unpack.available(from, to);
        }
    };
    arrive(pieces);
    if (!heldBack.isEmpty()) {
        const QString leaf = destination() + QFile::decodeName(heldBack.mid(12));
        if (!QTest::qWaitFor([&] { return unpack.unpackedBytes() == others; })
            || QFileInfo::exists(leaf))
            return { false, QStringLiteral("unpacked before its bytes arrived"), 0, 0 };
        if (streamFrom > 0) {
            arrive(held.first(held.size() / 2));
            held.remove(0, held.size() / 2);
            if (!QTest::qWaitFor([&] { return unpack.unpackedBytes() > others; }))
                return { false, QStringLiteral("waited for its last byte"), 0, 0 };
        }
        if (cancel) {
            unpack.cancel();
            QCoreApplication::processEvents();
            return { false, finished.isEmpty() ? QString() : QStringLiteral("finished"), 0, 0 };
        }
        arrive(held);
    }
    unpack.finish();
    if (!finished.wait(20000))
        return { false, QStringLiteral("never finished"), 0, 0 };
    // Its pool is gone with the work (threads linger for seconds otherwise; an ending one
    // leaves the process a moment after it said so).
    if (!QTest::qWaitFor([&] { return threads() <= threadsBefore; }, 500))
        return { false, QStringLiteral("threads left behind"), 0, 0 };
    return finished.first().first().value<ArchiveUnpacker::Result>();
}

void TestArchiveUnpacker::unpacksGoodTree_data()
{
    QTest::addColumn<QList<Entry>>("entries");
    QTest::addColumn<Compression>("compression");
    QTest::addColumn<Modes>("modes");
    QTest::addColumn<qint64>("streamFrom");

    const Modes chromeTreeModes { { "chrome", 0755 },
                                  { "libfoo.so", 0755 },
                                  { "product_logo_48.png", 0644 },
                                  { "locales", 040755 },
                                  { "locales/en-US.pak", 0644 } };
    QTest::newRow("deflated") << ArchiveBuilder::chromeTree() << Compression::Deflate
                              << chromeTreeModes << qint64(0);
    QTest::newRow("stored") << ArchiveBuilder::chromeTree() << Compression::Store << chromeTreeModes
                            << qint64(0);
    QTest::newRow("ZIP64") << ArchiveBuilder::chromeTree() << Compression::Zip64 << chromeTreeModes
                           << qint64(0);
    QTest::newRow("large entry inflated as it arrives")
        << withLargeChrome() << Compression::Deflate << chromeTreeModes << qint64(1);

    QList<Entry> noFolders = ArchiveBuilder::chromeTree();
    noFolders.removeFirst();
    QTest::newRow("no folder entries")
        << noFolders << Compression::Deflate << chromeTreeModes << qint64(0);

    QList<Entry> loose = ArchiveBuilder::chromeTree();
    loose[0].mode = 01777;
    loose[1].mode = 06777;
    loose[2].mode = 0666;
    loose[4].mode = 0711;
    loose.insert(1, { "chrome-linux/locales/", {}, Entry::Directory, 02777, {} });
    QTest::newRow("set-id, sticky and writable bits dropped")
        << loose << Compression::Deflate
        << Modes { { "chrome", 0755 },
                   { "product_logo_48.png", 0644 },
                   { "libfoo.so", 0755 },
                   { "locales", 040755 } }
        << qint64(0);
}

void TestArchiveUnpacker::unpacksGoodTree()
{
    QFETCH(QList<Entry>, entries);
    QFETCH(Compression, compression);
    QFETCH(Modes, modes);
    QFETCH(qint64, streamFrom);
    QVERIFY(ArchiveBuilder::writeZip(archive(), entries, compression));
    if (compression == Compression::Zip64) {
        const QByteArray zip = ArchiveBuilder::zip(entries, compression);
        ZipCatalog catalog;
        qint64 needFrom = -1;
        QString error;
        QVERIFY(!catalog.read(zip, zip.size(), &needFrom, &error) && error.contains("ZIP64"));
    }

    // A restrictive umask must not leave the browser unreadable for the sandbox helper.
    const mode_t previousMask = ::umask(077);
    ArchiveUnpacker::Result result
        = ArchiveUnpacker::unpack(archive(), destination(), QStringLiteral("chrome-linux"));
    ::umask(previousMask);
    // The same again while the archive arrives, chrome's bytes last; but ZIP64, which only
    // libarchive's reader takes, once it is whole.
    for (int pass = 0; pass < (compression == Compression::Zip64 ? 1 : 2); ++pass) {
        if (pass == 1) {
            QVERIFY(QDir(destination()).removeRecursively());
            ::umask(077);
            result = unpackPipelined(ArchiveBuilder::zip(entries, compression), {},
                                     "chrome-linux/chrome", false, streamFrom);
            ::umask(previousMask);
        }

        QVERIFY2(result.ok, qPrintable(result.error));
        QVERIFY(result.error.isEmpty());
        QCOMPARE(result.entries, qint64(entries.size()));
        QCOMPARE(result.bytes, dataSize(entries));
        QCOMPARE(modeOf(destination()) & 07777, 0755);
        QVERIFY(!QFileInfo::exists(destination() + QStringLiteral("/chrome-linux")));
        for (auto it = modes.cbegin(); it != modes.cend(); ++it) {
            const int expected = it.value() & S_IFMT ? it.value() : (it.value() | S_IFREG);
            QCOMPARE(modeOf(destination() + QLatin1Char('/') + it.key()), expected);
        }
        for (const Entry &entry : entries) {
            if (entry.type != Entry::File)
                continue;
            QFile file(destination() + entry.path.mid(entry.path.indexOf(QLatin1Char('/'))));
            QVERIFY2(file.open(QIODevice::ReadOnly), qPrintable(file.fileName()));
            QCOMPARE(file.readAll(), entry.data);
        }
    }

    QProcess chrome;
    chrome.start(destination() + QStringLiteral("/chrome"), { QStringLiteral("--version") });
    QVERIFY(chrome.waitForFinished(20000));
    QCOMPARE(chrome.exitCode(), 0);
    QVERIFY(chrome.readAllStandardOutput().contains("Chromium"));
}

void TestArchiveUnpacker::refusesHostileArchive_data()
{
    QTest::addColumn<QByteArray>("zip");
    QTest::addColumn<qint64>("maximumEntries");
    QTest::addColumn<qint64>("maximumBytes");
    QTest::addColumn<QString>("error");

    const qint64 entries = ArchiveUnpacker::Limits().maximumEntries;
    const qint64 bytes = ArchiveUnpacker::Limits().maximumBytes;
    const auto zip = [](const QList<Entry> &tree, Compression compression = Compression::Deflate) {
        return ArchiveBuilder::zip(tree, compression);
    };
    const auto file = [](const QString &path) {
        return Entry { path, "pwned", Entry::File, 0644, {} };
    };
    const QString unsafe = QStringLiteral("unsafe path");
    const QString outside = QStringLiteral("entry outside chrome-linux/");
    const QString link = QStringLiteral("link or special file");
    const QString damaged = QStringLiteral("damaged");
    const QString noChrome = QStringLiteral("no executable chrome-linux/chrome");

    QTest::newRow("../ inside the folder")
        << zip(treePlus(file("chrome-linux/../sentinel/pwned"))) << entries << bytes << unsafe;
    QTest::newRow("../ at the start")
        << zip(treePlus(file("../sentinel/pwned"))) << entries << bytes << unsafe;
    QTest::newRow("absolute path")
        << zip(treePlus(file(sentinel() + QStringLiteral("/pwned")))) << entries << bytes << unsafe;
    QTest::newRow("empty component")
        << zip(treePlus(file("chrome-linux//pwned"))) << entries << bytes << unsafe;
    QTest::newRow("dot component")
        << zip(treePlus(file("chrome-linux/./pwned"))) << entries << bytes << unsafe;
    QTest::newRow("backslashes") << zip(treePlus(file("chrome-linux/..\\..\\sentinel\\pwned")))
                                 << entries << bytes << unsafe;
    // Such names could be written but not removed again through QString paths.
    QByteArray undecodable = zip(treePlus(file("chrome-linux/l@cales/en-US.pak")));
    undecodable.replace("l@cales",
                        "l\xef"
                        "cales");
    QTest::newRow("name not valid UTF-8") << undecodable << entries << bytes << unsafe;
    QTest::newRow("control character in a name")
        << zip(treePlus(file("chrome-linux/\x03/pwned"))) << entries << bytes << unsafe;
    QTest::newRow("entry outside chrome-linux/")
        << zip(treePlus(file("elsewhere/pwned"))) << entries << bytes << outside;
    QTest::newRow("folder with the same prefix")
        << zip(treePlus(file("chrome-linux-2/pwned"))) << entries << bytes << outside;
    QList<Entry> topIsFile = ArchiveBuilder::chromeTree();
    topIsFile[0] = file("chrome-linux");
    QTest::newRow("top folder as a file") << zip(topIsFile) << entries << bytes << outside;

    QTest::newRow("symlink to an outside folder, then a file through it")
        << zip(treePlus({ "chrome-linux/evil", {}, Entry::Symlink, 0777, sentinel() })
               << file("chrome-linux/evil/pwned"))
        << entries << bytes << link;
    QTest::newRow("symlink to an outside file")
        << zip(treePlus({ "chrome-linux/passwd", {}, Entry::Symlink, 0777, outsideFile() }))
        << entries << bytes << link;
    QList<Entry> linkedChrome = ArchiveBuilder::chromeTree();
    linkedChrome[1] = { "chrome-linux/chrome", {}, Entry::Symlink, 0777, "/bin/sh" };
    QTest::newRow("chrome is a symlink") << zip(linkedChrome) << entries << bytes << link;
    QTest::newRow("character device")
        << zip(treePlus({ "chrome-linux/null", {}, Entry::CharacterDevice, 0666, {} })) << entries
        << bytes << link;

    QTest::newRow("same path twice")
        << zip(treePlus({ "chrome-linux/chrome", "#!/bin/sh\nexit 0\n", Entry::File, 0755, {} }))
        << entries << bytes << QStringLiteral("lists chrome-linux/chrome twice");
    QTest::newRow("same folder twice")
        << zip(treePlus({ "chrome-linux/", {}, Entry::Directory, 0755, {} })) << entries << bytes
        << QStringLiteral("twice");
    QString deep = QStringLiteral("chrome-linux");
    for (int level = 0; level < 70; ++level)
        deep += QStringLiteral("/d");
    QTest::newRow("folders nested too deeply")
        << zip(treePlus(file(deep))) << entries << bytes << QStringLiteral("too deeply");

    const QList<Entry> tree = ArchiveBuilder::chromeTree();
    QTest::newRow("one entry too many")
        << zip(tree) << qint64(tree.size() - 1) << bytes
        << QStringLiteral("more than %1 entries").arg(tree.size() - 1);
    QTest::newRow("declared sizes one byte over the cap")
        << zip(tree) << entries << dataSize(tree) - 1
        << QStringLiteral("more than %1 bytes").arg(dataSize(tree) - 1);
    QTest::newRow("one huge declared entry") << zip(
        treePlus({ "chrome-linux/big.pak", QByteArray(1 << 20, 'B'), Entry::File, 0644, {} }))
                                             << entries << qint64(1 << 20)
                                             << QStringLiteral("more than");

    const QByteArray stored = zip(tree, Compression::Store);
    QTest::newRow("truncated") << stored.left(stored.size() / 2) << entries << bytes << damaged;
    QTest::newRow("not a zip") << QByteArray("#!/bin/sh\nexit 0\n") << entries << bytes << damaged;
    QTest::newRow("CRC mismatch in stored data")
        << damageEntry(stored, "chrome-linux/locales/en-US.pak", 1000) << entries << bytes
        << damaged;
    QTest::newRow("damaged deflate stream")
        << damageEntry(zip(tree), "chrome-linux/libfoo.so", 3) << entries << bytes << damaged;

    // What only the central directory and the local headers can lie about.
    const QByteArray good = zip(tree);
    const QByteArray chrome("chrome-linux/chrome"), library("chrome-linux/libfoo.so");
    const quint32 chromeAt = quint32(good.indexOf(chrome) - 30);
    const quint32 directoryAt = qFromLittleEndian<quint32>(good.constData() + good.size() - 6);
    QTest::newRow("two entries at one offset")
        << patched(good, library, 42, chromeAt) << entries << bytes << damaged;
    QTest::newRow("entries overlap")
        << patched(good, chrome, 20, 5000) << entries << bytes << damaged;
    QTest::newRow("directory offset lies")
        << patched(good, {}, 16, directoryAt - 1) << entries << bytes << damaged;
    QTest::newRow("bomb: more data than declared")
        << patched(good, library, 24, 100) << entries << bytes
        << QStringLiteral("larger than it says");
    QTest::newRow("less data than declared") << patched(good, library, 24, 4101) << entries << bytes
                                             << QStringLiteral("shorter than it says");
    QByteArray renamed = good;
    renamed.replace(renamed.indexOf(library), library.size(), "chrome-linux/libfoo.sx");
    QTest::newRow("local header names another file") << renamed << entries << bytes << damaged;
    QTest::newRow("encrypted") << patched(good, library, 8, 1, 2) << entries << bytes
                               << QStringLiteral("encrypted entry");
    QList<Entry> crowd { tree[0], tree[1] };
    for (int i = 1; i < 20000; ++i)
        crowd << file(QStringLiteral("chrome-linux/%1").arg(i));
    QTest::newRow("20 001 entries")
        << zip(crowd) << entries << bytes << QStringLiteral("more than 20000 entries");

    // More than any disk here holds (1.2 TB): refused before a byte is written.
    QList<Entry> large = tree;
    for (int i = 0; i < 300; ++i)
        large << file(QStringLiteral("chrome-linux/%1.pak").arg(i));
    QByteArray vast = zip(large);
    for (int i = 0; i < 300; ++i)
        vast = patched(vast, QStringLiteral("chrome-linux/%1.pak").arg(i).toUtf8(), 24, 0xfffffff0);
    QTest::newRow("declares more than the disk holds")
        << vast << entries << (qint64(1) << 50) << QStringLiteral("not enough free space");

    QList<Entry> withoutChrome = tree;
    withoutChrome.removeAt(1);
    QTest::newRow("no chrome") << zip(withoutChrome) << entries << bytes << noChrome;
    QTest::newRow("chrome not executable")
        << zip(withChromeMode(0644)) << entries << bytes << noChrome;
    QList<Entry> chromeFolder = withoutChrome;
    chromeFolder << Entry { "chrome-linux/chrome/", {}, Entry::Directory, 0755, {} };
    QTest::newRow("chrome is a folder") << zip(chromeFolder) << entries << bytes << noChrome;
    QTest::newRow("wrong top folder")
        << zip({ { "chrome-win/chrome", "x", Entry::File, 0755, {} } }) << entries << bytes
        << outside;
}

void TestArchiveUnpacker::refusesHostileArchive()
{
    QFETCH(QByteArray, zip);
    QFETCH(qint64, maximumEntries);
    QFETCH(qint64, maximumBytes);
    QFETCH(QString, error);
    QVERIFY(!zip.isEmpty());
    QFile file(archive());
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(zip);
    file.close();

    ArchiveUnpacker::Limits limits;
    limits.maximumEntries = maximumEntries;
    limits.maximumBytes = maximumBytes;
    const ArchiveUnpacker::Result result
        = ArchiveUnpacker::unpack(archive(), destination(), QStringLiteral("chrome-linux"), limits);

    QVERIFY(!result.ok);
    QVERIFY2(result.error.contains(error), qPrintable(result.error));
    verifyNothingWritten();
}

void TestArchiveUnpacker::refusesHostileArchiveWhilePipelined()
{
    QFETCH(QByteArray, zip);
    QFETCH(qint64, maximumEntries);
    QFETCH(qint64, maximumBytes);
    QFETCH(QString, error);

    ArchiveUnpacker::Limits limits;
    limits.maximumEntries = maximumEntries;
    limits.maximumBytes = maximumBytes;
    // Each entry whole, then streaming (as far as a slot allows) while its bytes arrive.
    for (const qint64 streamFrom : { 0, 1 }) {
        const ArchiveUnpacker::Result result = unpackPipelined(zip, limits, {}, false, streamFrom);
        QVERIFY(!result.ok);
        QVERIFY2(result.error.contains(error), qPrintable(result.error));
        verifyNothingWritten();
    }
}

void TestArchiveUnpacker::catalogAsksForWhatItLacks()
{
    const QByteArray zip = ArchiveBuilder::zip(ArchiveBuilder::chromeTree());
    ZipCatalog whole;
    qint64 needFrom = -1;
    QString error;
    QVERIFY2(whole.read(zip, zip.size(), &needFrom, &error), qPrintable(error));
    QCOMPARE(whole.entries().size(), ArchiveBuilder::chromeTree().size());

    ZipCatalog catalog;
    // The end record but not the whole directory: from where the directory begins.
    QVERIFY(!catalog.read(zip.right(30), zip.size(), &needFrom, &error));
    QCOMPARE(error, QString());
    QCOMPARE(needFrom, whole.directoryOffset());
    // Not even the end record: from where the longest comment would begin.
    QVERIFY(!catalog.read(zip.right(10), zip.size(), &needFrom, &error));
    QCOMPARE(error, QString());
    QCOMPARE(needFrom, 0);
}

// Cancelled half-way, with workers busy and bytes still to come: no tree, no finished().
// Chrome not begun, then with its worker waiting for its bytes. The tree goes off this thread,
// and the next attempt at its path, made before it has gone, is left whole.
void TestArchiveUnpacker::cancelMidwayLeavesNoTree()
{
    const QByteArray zip = ArchiveBuilder::zip(withLargeChrome());
    for (const qint64 streamFrom : { 0, 1 }) {
        // Every thread the removals run on is held until the next attempt has unpacked.
        QSemaphore held;
        QThreadPool *pool = QThreadPool::globalInstance();
        for (int i = 0; i < pool->maxThreadCount(); ++i)
            pool->start([&held] { held.acquire(); });
        const ArchiveUnpacker::Result result
            = unpackPipelined(zip, {}, "chrome-linux/chrome", true, streamFrom);
        const ArchiveUnpacker::Result again = unpackPipelined(zip);
        const QStringList aside = QDir(scene()).entryList({ TreeRemoval::prefix + QString('*') },
                                                          QDir::AllEntries | QDir::Hidden);
        held.release(pool->maxThreadCount());
        TreeRemoval::waitForAll();
        QCOMPARE(result.error, QString());
        QVERIFY2(again.ok, qPrintable(again.error));
        QCOMPARE(aside.size(), 1);
        QFile chrome(destination() + QStringLiteral("/chrome"));
        QVERIFY(chrome.open(QIODevice::ReadOnly));
        QCOMPARE(chrome.readAll(), withLargeChrome().at(1).data);
        QVERIFY(QDir(destination()).removeRecursively());
        verifyNothingWritten();
    }
}

void TestArchiveUnpacker::typesZipCannotCarryArriveAsPlainFiles_data()
{
    QTest::addColumn<Entry>("entry");
    QTest::newRow("hard link to an outside file")
        << Entry { "chrome-linux/passwd", "data", Entry::Hardlink, 0644, outsideFile() };
    QTest::newRow("FIFO") << Entry { "chrome-linux/passwd", {}, Entry::Fifo, 0644, {} };
}

// Zip has no hard links, and libarchive reads a zip FIFO as a plain file: neither can become
// a link or a special file on disk.
void TestArchiveUnpacker::typesZipCannotCarryArriveAsPlainFiles()
{
    QFETCH(Entry, entry);
    QVERIFY(ArchiveBuilder::writeZip(archive(), treePlus(entry)));

    const ArchiveUnpacker::Result result
        = ArchiveUnpacker::unpack(archive(), destination(), QStringLiteral("chrome-linux"));

    QVERIFY2(result.ok, qPrintable(result.error));
    const QString unpacked = destination() + QStringLiteral("/passwd");
    struct stat info;
    QCOMPARE(::lstat(QFile::encodeName(unpacked).constData(), &info), 0);
    QVERIFY(S_ISREG(info.st_mode));
    QCOMPARE(info.st_nlink, nlink_t(1));
    QFile outside(outsideFile());
    QVERIFY(outside.open(QIODevice::ReadOnly));
    QCOMPARE(outside.readAll(), QByteArray("original"));
}

void TestArchiveUnpacker::refusesUnusableDestination_data()
{
    QTest::addColumn<QString>("prepare");
    QTest::addColumn<QString>("error");
    QTest::newRow("folder with files") << "folder"
                                       << "already exists";
    QTest::newRow("symlink to a folder") << "symlink"
                                         << "already exists";
    QTest::newRow("parent missing") << "no parent"
                                    << "No such file";
}

void TestArchiveUnpacker::refusesUnusableDestination()
{
    QFETCH(QString, prepare);
    QFETCH(QString, error);
    QVERIFY(ArchiveBuilder::writeZip(archive(), ArchiveBuilder::chromeTree()));
    QString target = destination();
    if (prepare == QLatin1String("folder")) {
        QVERIFY(QDir().mkpath(destination()));
        QFile keep(destination() + QStringLiteral("/keep"));
        QVERIFY(keep.open(QIODevice::WriteOnly));
    } else if (prepare == QLatin1String("symlink")) {
        QVERIFY(QFile::link(sentinel(), destination()));
    } else {
        target = scene(QStringLiteral("missing/tree"));
    }

    const ArchiveUnpacker::Result result
        = ArchiveUnpacker::unpack(archive(), target, QStringLiteral("chrome-linux"));

    QVERIFY(!result.ok);
    QVERIFY2(result.error.contains(error), qPrintable(result.error));
    // Whatever was there stays exactly as it was.
    QVERIFY(QDir(sentinel()).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot));
    QVERIFY(!QFileInfo::exists(scene(QStringLiteral("missing"))));
    if (prepare == QLatin1String("folder")) {
        QCOMPARE(QDir(destination()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot),
                 QStringList { "keep" });
    }
}

void TestArchiveUnpacker::cancelledBeforeStart()
{
    QVERIFY(ArchiveBuilder::writeZip(archive(), ArchiveBuilder::chromeTree()));
    const std::atomic<bool> cancel { true };

    const ArchiveUnpacker::Result result = ArchiveUnpacker::unpack(
        archive(), destination(), QStringLiteral("chrome-linux"), {}, &cancel);

    QVERIFY(!result.ok);
    QCOMPARE(result.error, QStringLiteral("Cancelled"));
    verifyNothingWritten();
}

// The installer unpacks on a pool thread; unpacks must not share any state.
void TestArchiveUnpacker::unpacksOnSeveralThreadsAtOnce()
{
    QVERIFY(ArchiveBuilder::writeZip(archive(), ArchiveBuilder::chromeTree()));
    QList<QFuture<ArchiveUnpacker::Result>> runs;
    for (int i = 0; i < 4; ++i) {
        const QString target = scene(QStringLiteral("tree%1").arg(i));
        runs << QtConcurrent::run([this, target] {
            return ArchiveUnpacker::unpack(archive(), target, QStringLiteral("chrome-linux"));
        });
    }
    for (int i = 0; i < runs.size(); ++i) {
        const ArchiveUnpacker::Result result = runs[i].result();
        QVERIFY2(result.ok, qPrintable(result.error));
        QVERIFY(QFileInfo(scene(QStringLiteral("tree%1/chrome").arg(i))).isExecutable());
    }
}

void TestArchiveUnpacker::libraryIsLoadedOnlyByName_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<int>("version");
    QTest::addColumn<QString>("error");
    QTest::newRow("the system's") << "archive" << 13 << "";
    // A system without it: the unpacking says what is missing instead of failing to start.
    QTest::newRow("missing") << "archive-absent" << 13 << "libarchive is missing";
}

void TestArchiveUnpacker::libraryIsLoadedOnlyByName()
{
    QFETCH(QString, name);
    QFETCH(int, version);
    QFETCH(QString, error);
    const ArchiveLibrary library(name, version);
    QCOMPARE(library.isLoaded(), error.isEmpty());
    QVERIFY2(library.error().contains(error), qPrintable(library.error()));
    QCOMPARE(library.readNew != nullptr, error.isEmpty());
}

TARROWIN_TEST_MAIN(TestArchiveUnpacker, false)
#include "tst_archiveunpacker.moc"

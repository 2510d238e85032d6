#include "install/archiveunpacker.h"
#include "support/archivebuilder.h"
#include "support/testenvironment.h"

#include <QDir>
#include <QProcess>
#include <QtConcurrent/QtConcurrentRun>
#include <QtEndian>

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

} // namespace

class TestArchiveUnpacker : public QObject
{
    Q_OBJECT

public:
    explicit TestArchiveUnpacker(TestEnvironment &) { }

private slots:
    void init();
    void cleanup();

    void unpacksGoodTree_data();
    void unpacksGoodTree();
    void refusesHostileArchive_data();
    void refusesHostileArchive();
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

void TestArchiveUnpacker::unpacksGoodTree_data()
{
    QTest::addColumn<QList<Entry>>("entries");
    QTest::addColumn<Compression>("compression");
    QTest::addColumn<Modes>("modes");

    const Modes chromeTreeModes { { "chrome", 0755 },
                                  { "libfoo.so", 0755 },
                                  { "product_logo_48.png", 0644 },
                                  { "locales", 040755 },
                                  { "locales/en-US.pak", 0644 } };
    QTest::newRow("deflated") << ArchiveBuilder::chromeTree() << Compression::Deflate
                              << chromeTreeModes;
    QTest::newRow("stored") << ArchiveBuilder::chromeTree() << Compression::Store
                            << chromeTreeModes;

    QList<Entry> noFolders = ArchiveBuilder::chromeTree();
    noFolders.removeFirst();
    QTest::newRow("no folder entries") << noFolders << Compression::Deflate << chromeTreeModes;

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
                   { "locales", 040755 } };
}

void TestArchiveUnpacker::unpacksGoodTree()
{
    QFETCH(QList<Entry>, entries);
    QFETCH(Compression, compression);
    QFETCH(Modes, modes);
    QVERIFY(ArchiveBuilder::writeZip(archive(), entries, compression));

    // A restrictive umask must not leave the browser unreadable for the sandbox helper.
    const mode_t previousMask = ::umask(077);
    const ArchiveUnpacker::Result result
        = ArchiveUnpacker::unpack(archive(), destination(), QStringLiteral("chrome-linux"));
    ::umask(previousMask);

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

TARROWIN_TEST_MAIN(TestArchiveUnpacker, false)
#include "tst_archiveunpacker.moc"

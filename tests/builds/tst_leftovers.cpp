#include "builds/leftovers.h"
#include "common/runningexecutables.h"
#include "common/staginglock.h"
#include "support/testenvironment.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>

class TestLeftovers : public QObject
{
    Q_OBJECT

public:
    explicit TestLeftovers(TestEnvironment &) { }

private slots:
    void removeTemporaryDirectories_data();
    void removeTemporaryDirectories();
    void ownExecutableIsFoundInRealProc();
};

void TestLeftovers::removeTemporaryDirectories_data()
{
    // Each directory gets a file "payload"; each running path gets a fake process whose exe
    // link points at it.
    QTest::addColumn<QStringList>("directories");
    QTest::addColumn<QStringList>("running");
    QTest::addColumn<QStringList>("remaining");
    QTest::addColumn<int>("removed");

    QTest::newRow("own leftovers go") << QStringList { "tarrowin-a1B2c3", "tarrowin-zzzzzz" }
                                      << QStringList() << QStringList() << 2;
    QTest::newRow("other names stay")
        << QStringList { "tarrowin", "tarrowinx", "Tarrowin-abcdef", "other-tarrowin-abc" }
        << QStringList()
        << QStringList { "Tarrowin-abcdef", "other-tarrowin-abc", "tarrowin", "tarrowinx" } << 0;
    QTest::newRow("running installer keeps its directory")
        << QStringList { "tarrowin-busy", "tarrowin-idle" }
        << QStringList { "tarrowin-busy/payload", "elsewhere/payload" }
        << QStringList { "elsewhere", "tarrowin-busy" } << 1;
    QTest::newRow("name prefix is not containment")
        << QStringList { "tarrowin-a", "tarrowin-ab" } << QStringList { "tarrowin-ab/payload" }
        << QStringList { "tarrowin-ab" } << 1;
}

void TestLeftovers::removeTemporaryDirectories()
{
    QFETCH(QStringList, directories);
    QFETCH(QStringList, running);
    QFETCH(QStringList, remaining);
    QFETCH(int, removed);

    QTemporaryDir root;
    QDir dir(root.path());
    QVERIFY(dir.mkdir(QStringLiteral("tmp")) && dir.mkdir(QStringLiteral("proc")));
    const QString tmp = root.filePath(QStringLiteral("tmp"));
    const QString proc = root.filePath(QStringLiteral("proc"));
    auto makeDirectory = [](const QString &path) {
        QFile payload(path + QStringLiteral("/payload"));
        return QDir().mkpath(path) && payload.open(QIODevice::WriteOnly);
    };
    for (const QString &name : directories)
        QVERIFY(makeDirectory(tmp + QLatin1Char('/') + name));
    int pid = 100;
    for (const QString &path : running) {
        QVERIFY(makeDirectory(tmp + QLatin1Char('/') + QFileInfo(path).path()));
        const QString process = proc + QLatin1Char('/') + QString::number(pid++);
        QVERIFY(QDir().mkpath(process));
        QVERIFY(QFile::link(tmp + QLatin1Char('/') + path, process + QStringLiteral("/exe")));
    }
    // Always present: a link named like a leftover, whose target must survive, and a
    // non-numeric /proc entry that is no process.
    QVERIFY(makeDirectory(root.filePath(QStringLiteral("target"))));
    QVERIFY(QFile::link(root.filePath(QStringLiteral("target")),
                        tmp + QStringLiteral("/tarrowin-link")));
    QVERIFY(QFile(tmp + QStringLiteral("/tarrowin-file")).open(QIODevice::WriteOnly));
    QVERIFY(makeDirectory(tmp + QStringLiteral("/tarrowin-held")));
    const StagingLock held(tmp + QStringLiteral("/tarrowin-held"));
    QVERIFY(QDir().mkpath(proc + QStringLiteral("/self")));
    QVERIFY(QFile::link(tmp + QStringLiteral("/tarrowin-a/payload"),
                        proc + QStringLiteral("/self/exe")));

    QCOMPARE(Leftovers::removeTemporaryDirectories(tmp, proc), removed);

    remaining += { "tarrowin-file", "tarrowin-held", "tarrowin-link" };
    remaining.sort();
    QStringList entries
        = QDir(tmp).entryList(QDir::AllEntries | QDir::System | QDir::NoDotAndDotDot);
    entries.sort();
    QCOMPARE(entries, remaining);
    QVERIFY(QFile::exists(root.filePath(QStringLiteral("target/payload"))));
}

void TestLeftovers::ownExecutableIsFoundInRealProc()
{
    QVERIFY(RunningExecutables::anyInside(QCoreApplication::applicationDirPath()));
    QTemporaryDir empty;
    QVERIFY(!RunningExecutables::anyInside(empty.path()));
}

TARROWIN_TEST_MAIN(TestLeftovers, false)
#include "tst_leftovers.moc"

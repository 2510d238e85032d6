#include "support/testenvironment.h"

#include <QDirIterator>
#include <QProcess>

// The whole program asked for its help or its version: it answers and leaves, without a
// display, and without leaving anything behind in the user's directories.
class TestCommandLine : public QObject
{
    Q_OBJECT

public:
    explicit TestCommandLine(TestEnvironment &) { }

private slots:
    void answersAndWritesNothing_data();
    void answersAndWritesNothing();
};

void TestCommandLine::answersAndWritesNothing_data()
{
    QTest::addColumn<QStringList>("arguments");
    QTest::addColumn<QStringList>("expected");

    const QStringList help { "Usage: ", "--help", "--version", "--tray", "/tray" };
    const QStringList version { "Tarrowin 0.1.2\n" };
    QTest::newRow("--help") << QStringList { "--help" } << help;
    QTest::newRow("-h") << QStringList { "-h" } << help;
    QTest::newRow("help on a tray start") << QStringList { "/tray", "--help" } << help;
    QTest::newRow("--version") << QStringList { "--version" } << version;
    QTest::newRow("-v after an unknown option") << QStringList { "--foo", "-v" } << version;
}

void TestCommandLine::answersAndWritesNothing()
{
    QFETCH(QStringList, arguments);
    QFETCH(QStringList, expected);

    const QTemporaryDir home;
    for (const char *name : { "config", "data", "tmp", "runtime" })
        QVERIFY(QDir(home.path()).mkdir(QLatin1String(name)));
    QProcess program;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.filePath(QStringLiteral("config")));
    env.insert(QStringLiteral("XDG_DATA_HOME"), home.filePath(QStringLiteral("data")));
    env.insert(QStringLiteral("TMPDIR"), home.filePath(QStringLiteral("tmp")));
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), home.filePath(QStringLiteral("runtime")));
    // No display to connect to: opening a window, or only connecting, would fail the run.
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
    program.setProcessEnvironment(env);
    program.start(QStringLiteral(TARROWIN_UNDER_TEST), arguments);
    QVERIFY(program.waitForFinished(20000));
    const QString output = QString::fromLocal8Bit(program.readAllStandardOutput());
    QCOMPARE(program.exitStatus(), QProcess::NormalExit);
    QCOMPARE(program.exitCode(), 0);
    for (const QString &text : expected)
        QVERIFY2(output.contains(text), qPrintable(output));

    // No settings, no autostart entry, no single-instance lock, nothing cleaned up or made.
    QStringList written;
    QDirIterator files(home.path(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        if (!QFileInfo(path).isDir())
            written.append(path);
    }
    QCOMPARE(written, QStringList());
    QCOMPARE(QDir(home.filePath(QStringLiteral("config")))
                 .entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList());
}

TARROWIN_TEST_MAIN(TestCommandLine, false)
#include "tst_commandline.moc"

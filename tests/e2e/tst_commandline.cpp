#include "support/programstarter.h"
#include "support/testenvironment.h"

#include <QDirIterator>

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

    ProgramStarter home(QStringLiteral(TARROWIN_UNDER_TEST));
    QVERIFY(home.isValid());
    // No display to connect to: opening a window, or only connecting, would fail the run.
    home.unsetEnvironment(QStringLiteral("DISPLAY"));
    home.unsetEnvironment(QStringLiteral("WAYLAND_DISPLAY"));
    QProcess *program = home.start(arguments, QProcess::SeparateChannels);
    QVERIFY(program->waitForFinished(20000));
    const QString output = QString::fromLocal8Bit(program->readAllStandardOutput());
    QCOMPARE(program->exitStatus(), QProcess::NormalExit);
    QCOMPARE(program->exitCode(), 0);
    for (const QString &text : expected)
        QVERIFY2(output.contains(text), qPrintable(output));

    // No settings, no autostart entry, no single-instance lock, nothing cleaned up or made.
    QStringList written;
    QDirIterator files(home.root(), QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot,
                       QDirIterator::Subdirectories);
    while (files.hasNext()) {
        const QString path = files.next();
        if (!QFileInfo(path).isDir())
            written.append(path);
    }
    QCOMPARE(written, QStringList());
    QCOMPARE(QDir(home.configHome()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
             QStringList());
}

TARROWIN_TEST_MAIN(TestCommandLine, false)
#include "tst_commandline.moc"

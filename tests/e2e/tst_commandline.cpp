#include "support/programstarter.h"
#include "support/testenvironment.h"

#include <QDirIterator>
#include <QRegularExpression>

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
    void manualNamesTheOptionsHelpLists();
    void manualNamesTheReadmeFiles();
};

namespace {

// The options of --help's option column: "  -h, --help, -?   Show ..." gives -h, --help, -?.
QStringList helpOptions(const QString &help)
{
    QStringList options;
    static const QRegularExpression row(QStringLiteral("^  (-\\S.*?)(?:  |$)"));
    for (const QString &line : help.split(QLatin1Char('\n'))) {
        const QRegularExpressionMatch match = row.match(line);
        for (const QString &name :
             match.captured(1).split(QStringLiteral(", "), Qt::SkipEmptyParts))
            options.append(name.section(QLatin1Char(' '), 0, 0));
    }
    options.sort();
    return options;
}

// The options the manual's OPTIONS section tags (.TP, then ".BR \\-h ", " \\-\\-help"):
// every word of a tag that starts with a dash, without the "=value" of .BI.
QStringList manualOptions(const QString &manual)
{
    QStringList options;
    const QStringList lines = manual.split(QLatin1Char('\n'));
    const qsizetype start = lines.indexOf(QStringLiteral(".SH OPTIONS"));
    for (qsizetype i = start + 1; start >= 0 && i + 1 < lines.size(); ++i) {
        if (lines.at(i).startsWith(QStringLiteral(".SH")))
            break;
        if (lines.at(i) != QStringLiteral(".TP"))
            continue;
        QString tag = lines.at(i + 1);
        tag.replace(QStringLiteral("\\-"), QStringLiteral("-")).remove(QLatin1Char('"'));
        for (const QString &word : tag.split(QRegularExpression(QStringLiteral("[ ,]+")))) {
            if (word.startsWith(QLatin1Char('-')))
                options.append(word.section(QLatin1Char('='), 0, 0));
        }
    }
    options.sort();
    return options;
}

QString fileText(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? QString::fromUtf8(file.readAll()) : QString();
}

} // namespace

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

// tarrowin(1) documents exactly what --help offers, so neither falls behind the other.
void TestCommandLine::manualNamesTheOptionsHelpLists()
{
    ProgramStarter home(QStringLiteral(TARROWIN_UNDER_TEST));
    QVERIFY(home.isValid());
    QProcess *program = home.start({ QStringLiteral("--help") }, QProcess::SeparateChannels);
    QVERIFY(program->waitForFinished(20000));
    const QString help = QString::fromLocal8Bit(program->readAllStandardOutput());
    QFile manualFile(QStringLiteral(TARROWIN_MANUAL_PAGE));
    QVERIFY(manualFile.open(QIODevice::ReadOnly));
    const QString manual = QString::fromUtf8(manualFile.readAll());

    const QStringList options = helpOptions(help);
    QVERIFY2(options.contains(QStringLiteral("--protect-profile")), qPrintable(help));
    QCOMPARE(manualOptions(manual), options);
    // The autostart entry's spelling is no option syntax, yet both say it.
    QVERIFY(help.contains(QStringLiteral("/tray")));
    QVERIFY(manual.contains(QStringLiteral("/tray")));
}

// The files the README's tables name, from "Uninstall" to "Many machines" (what Tarrowin
// writes, and the installed Chromium), are each in the manual's FILES, path for path.
void TestCommandLine::manualNamesTheReadmeFiles()
{
    const QString readme = fileText(QStringLiteral(TARROWIN_README));
    const QString manual = fileText(QStringLiteral(TARROWIN_MANUAL_PAGE))
                               .replace(QStringLiteral("\\-"), QStringLiteral("-"))
                               .remove(QStringLiteral("\\:"));
    const qsizetype start = readme.indexOf(QStringLiteral("\n## Uninstall"));
    const qsizetype end = readme.indexOf(QStringLiteral("\n## Many machines"));
    QVERIFY(start > 0 && end > start);
    static const QRegularExpression row(QStringLiteral("^\\| [^|]+ \\| `([^`]+)`"));
    QStringList missing;
    qsizetype rows = 0;
    for (const QString &line : readme.mid(start, end - start).split(QLatin1Char('\n'))) {
        const QString path = row.match(line).captured(1);
        if (path.isEmpty())
            continue;
        ++rows;
        if (!manual.contains(path))
            missing.append(path);
    }
    QVERIFY(rows >= 15);
    QCOMPARE(missing, QStringList());
}

TARROWIN_TEST_MAIN(TestCommandLine, false)
#include "tst_commandline.moc"

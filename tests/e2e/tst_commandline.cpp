#include "support/archivebuilder.h"
#include "support/bisectseries.h"
#include "support/loopbackserver.h"
#include "support/programstarter.h"
#include "support/publishedseries.h"
#include "support/testenvironment.h"

#include <QDirIterator>
#include <QRegularExpression>
#include <QSettings>
#include <QSignalSpy>

namespace {

const QString listingPath = QStringLiteral("/storage/v1/b/chromium-browser-snapshots/o");

// A run to its end (braces order the wait first): exit code (-1: no end), output, errors.
std::tuple<int, QString, QString> run(ProgramStarter &home, const QStringList &arguments)
{
    QProcess *program = home.start(arguments, QProcess::SeparateChannels);
    QSignalSpy finished(program, &QProcess::finished);
    return { finished.wait(60000) ? program->exitCode() : -1,
             QString::fromLocal8Bit(program->readAllStandardOutput()),
             QString::fromLocal8Bit(program->readAllStandardError()) };
}

} // namespace

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
    void installBuild_data();
    void installBuild();
    void bisect();
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

    const QStringList help { "Usage: ",      "--help", "--version",
                             "--tray",       "/tray",  "--install-build <build>",
                             "--list-builds" };
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

// A script installs chosen builds one after another in one home, against a storage of 1,024
// published builds with gaps between them, and lists what is installed. A bad request says why in
// one line, exits non-zero and installs or removes nothing.
void TestCommandLine::installBuild_data()
{
    QTest::addColumn<QStringList>("wanted");
    QTest::addColumn<QList<int>>("exitCodes");
    // What each run says: on the standard output when it succeeds, else on the error output.
    QTest::addColumn<QStringList>("says");
    QTest::addColumn<int>("keep"); // "KeepBuilds"; 0 leaves it unset
    QTest::addColumn<QList<int>>("installed"); // pinned, every one
    QTest::addColumn<int>("listings"); // listing requests in all; -1: not counted
    // Tarrowin runs meanwhile: the job is handed to it.
    QTest::addColumn<bool>("running");

    QTest::newRow("by number, then by day: the second lists one page")
        << QStringList { "1350026", "2026-01-01" } << QList<int> { 0, 0 }
        << QStringList { "Build 1350014 is installed", "Build 1350130 is installed" } << 0
        << QList<int> { 1350014, 1350130 } << 3 << false;
    QTest::newRow("KeepBuilds=1 keeps the pins")
        << QStringList { "1350130", "1350014", "1350014" } << QList<int> { 0, 0, 0 }
        << QStringList { "Build 1350130 is installed", "Build 1350014 is installed",
                         "Build 1350014 is installed" }
        << 1 << QList<int> { 1350014, 1350130 } << 4 << false;
    const QStringList bad { "1349999", "2025-12-31", "131.0.6778.99", "M131", "latest" };
    QTest::newRow("bad input")
        << (QStringList { "1350014" } + bad) << QList<int> { 0, 1, 1, 1, 1, 1 }
        << QStringList { "Build 1350014 is installed",
                         "Build 1349999 is not published, nor any build below it",
                         "No build was published on or before 2025-12-31",
                         "The releases service does not know version 131.0.6778.99",
                         "The releases service cannot be reached: HTTP status 503",
                         "\"latest\" names no build" }
        << 1 << QList<int> { 1350014 } << 4 << false;
    // A bisect's arguments, '|'-separated: each a clear line, nothing fetched or removed.
    const QStringList badBisects { "--bisect=latest|--bisect-run=true",
                                   "--bisect=1349999..1363302|--bisect-run=true",
                                   "--bisect=1350001..1363302|--bisect-run=true",
                                   "--bisect=1350014..1350000|--bisect-run=true",
                                   "--bisect=1350000..1350014|--bisect-run=true",
                                   "--bisect=131.0.6778.99..1350014|--bisect-run=true",
                                   "--bisect=M131..1350014|--bisect-run=true",
                                   "--bisect=1350000..1363302",
                                   "--bisect-run=true" };
    QTest::newRow("bad bisects")
        << (QStringList { "1350014" } + badBisects) << QList<int> { 0, 1, 1, 1, 1, 1, 1, 1, 1, 1 }
        << QStringList { "Build 1350014 is installed",
                         "\"latest\" is no range of builds",
                         "Build 1349999 is not published",
                         "Build 1350001 is not published",
                         "The good build 1350014 is not below the bad build 1350000",
                         "No published build lies between build 1350000 and build 1350014",
                         "The releases service does not know version 131.0.6778.99",
                         "The releases service cannot be reached: HTTP status 503",
                         "--bisect needs --bisect-run=COMMAND",
                         "\"-\" is no range of builds" }
        << 0 << QList<int> { 1350014 } << -1 << false;
    QTest::newRow("handed to the running instance") << QStringList { "1350020" } << QList<int> { 0 }
                                                    << QStringList { "Build 1350014 is installed" }
                                                    << 0 << QList<int> { 1350014 } << -1 << true;
}

void TestCommandLine::installBuild()
{
    QFETCH(QStringList, wanted);
    QFETCH(QList<int>, exitCodes);
    QFETCH(QStringList, says);
    QFETCH(int, keep);
    QFETCH(QList<int>, installed);
    QFETCH(int, listings);
    QFETCH(bool, running);

    LoopbackServer server;
    server.serveListingObjects(PublishedSeries::objects(PublishedSeries::sparse(1024)));
    server.serve(QStringLiteral("/chromium-browser-snapshots/Linux_x64/LAST_CHANGE"), "1363302");
    server.serve(QStringLiteral("/fetch_version"), {}, 404);
    server.serve(QStringLiteral("/fetch_milestones"), {}, 503);
    const QByteArray archive = ArchiveBuilder::zip(ArchiveBuilder::chromeTree());
    for (const int build : installed)
        server.serve(
            QStringLiteral("/chromium-browser-snapshots/Linux_x64/%1/chrome-linux.zip").arg(build),
            archive);
    ProgramStarter home(QStringLiteral(TARROWIN_UNDER_TEST));
    QVERIFY(home.isValid());
    home.setServer(server.url());
    home.unsetEnvironment(QStringLiteral("DISPLAY"));
    // Every step is logged: a start that did a handed job itself would say what it asked.
    home.setEnvironment(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("tarrowin.*=true"));
    if (keep > 0)
        QSettings(home.settingsFile(), QSettings::IniFormat).setValue("KeepBuilds", keep);
    if (running) {
        home.setEnvironment(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
        home.start({}, QProcess::SeparateChannels);
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(home.runtimeDir() + "/tarrowin.socket"), 20000);
    }
    for (int i = 0; i < wanted.size(); ++i) {
        const QStringList arguments = wanted[i].startsWith("--")
            ? wanted[i].split('|')
            : QStringList { "--install-build=" + wanted[i] };
        const auto [exitCode, output, errors] = run(home, arguments);
        QCOMPARE(exitCode, exitCodes[i]);
        // One line, and only that: the reason, or the build installed. (The log, and what Qt
        // itself warns of in the program under test, do not count.)
        const QString said = exitCode == 0 ? output : errors;
        const QStringList lines = said.split('\n', Qt::SkipEmptyParts)
                                      .filter(QRegularExpression("^(?!qt\\.|tarrowin\\.)"));
        QCOMPARE(lines.size(), 1);
        QVERIFY2(lines[0].startsWith(says[i]), qPrintable(said));
        QVERIFY2(!running || !errors.contains("GET "), qPrintable(errors));
    }
    QVERIFY(listings < 0 || server.requests().filter(listingPath).size() == listings);

    const auto [exitCode, output, errors] = run(home, { "--list-builds" });
    QCOMPARE(exitCode, 0);
    QStringList lines = output.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), installed.size());
    for (int i = 0; i < installed.size(); ++i) {
        QVERIFY2(lines[i].startsWith(QString::number(installed[i]) + '\t'), qPrintable(output));
        QVERIFY2(lines[i].endsWith("\tpinned"), qPrintable(output));
    }
}

// A script finds the build that broke something among 1,024 published builds with gaps, in at
// most ten verdicts, through a bisect ended early and asked for again, and the bisect leaves
// no build of its own behind, nor any trace in the browser's own profile.
void TestCommandLine::bisect()
{
    const QList<int> published = PublishedSeries::sparse(1024);
    const int breaks = published[700];
    LoopbackServer server;
    server.serveListingObjects(PublishedSeries::objects(published));
    const QByteArray archive = ArchiveBuilder::zip(ArchiveBuilder::chromeTree());
    for (const int build : published)
        server.serve(
            QStringLiteral("/chromium-browser-snapshots/Linux_x64/%1/chrome-linux.zip").arg(build),
            archive);
    server.serve(QStringLiteral("/fetch_commit"), {}, 404);
    ProgramStarter home(QStringLiteral(TARROWIN_UNDER_TEST));
    QVERIFY(home.isValid());
    home.setServer(server.url());
    home.unsetEnvironment(QStringLiteral("DISPLAY"));
    const QString profile = home.configHome() + "/tarrowin-chromium/Default";
    QVERIFY(QDir().mkpath(profile));
    QFile preferences(profile + "/Preferences");
    QVERIFY(preferences.open(QIODevice::WriteOnly) && preferences.write("{\"a\": 1}") > 0);
    preferences.close();
    const QStringList own = BisectSeries::tree(home.configHome() + "/tarrowin-chromium");
    // The step's browser must run; the build says whether it is bad. Every run is counted, and
    // the third of the first bisect ends it (128): asked again, it goes on with that build.
    const QString script = home.root() + "/judge it.sh";
    QFile file(script);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(QStringLiteral("#!/bin/sh\necho \"$2\" >> \"$(dirname \"$0\")/runs\"\n"
                              "\"$1\" --version >/dev/null || exit 128\n"
                              "[ $(wc -l < \"$(dirname \"$0\")/runs\") = 3 ] && exit 128\n"
                              "[ \"$2\" -lt %1 ]\n")
                   .arg(breaks)
                   .toUtf8());
    file.close();
    file.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    const QStringList arguments {
        QStringLiteral("--bisect=%1..%2").arg(published.first()).arg(published.last()),
        "--bisect-run='" + script + "' %p %b"
    };
    const auto [ended, before, why] = run(home, arguments);
    QVERIFY2(ended == 1 && why.contains("ended the bisect at build"), qPrintable(why));
    QCOMPARE(before.split('\n', Qt::SkipEmptyParts).size(), 2);

    const auto [exitCode, output, errors] = run(home, arguments);
    QVERIFY2(exitCode == 0, qPrintable(errors));
    const QStringList lines = output.split('\n', Qt::SkipEmptyParts);
    const QStringList runs = fileText(home.root() + "/runs").split('\n', Qt::SkipEmptyParts);
    QVERIFY2(runs.size() <= 11 && lines.size() == runs.size() - 3 + 2, qPrintable(output));
    QCOMPARE(runs.at(3), runs.at(2));
    QCOMPARE(lines.filter(QRegularExpression("^Build \\d+: (good|bad)$")).size(), runs.size() - 3);
    QCOMPARE(lines.at(runs.size() - 3),
             QStringLiteral("First bad build: %1 (last good build: %2)")
                 .arg(breaks)
                 .arg(published[699]));
    QVERIFY(lines.last().contains(QStringLiteral("%1..%2").arg(published[699]).arg(breaks)));
    const QString root = home.dataHome() + "/Quillmarsh/Tarrowin/chromium";
    QCOMPARE(QDir(root + "/bisect-cache")
                 .entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden),
             QStringList());
    QVERIFY(!QFile::exists(root + "/bisect-state.txt"));
    QCOMPARE(std::get<1>(run(home, { "--list-builds" })), QString());
    QCOMPARE(BisectSeries::tree(home.configHome() + "/tarrowin-chromium"), own);
}

TARROWIN_TEST_MAIN(TestCommandLine, false)
#include "tst_commandline.moc"

#include "shell/commandline.h"

#include <QCommandLineParser>
#include <QCoreApplication>

namespace {

// The options the program knows, for --help. The tray options are listed for people to read;
// whether a start goes to the tray is decided by isTrayStart alone, because "/tray" is no
// option syntax the parser understands.
struct Options
{
    QCommandLineParser parser;
    // Own options rather than the parser's built-in ones: those add --help-all, which would
    // start the program instead of answering.
    const QCommandLineOption help {
        { QStringLiteral("h"), QStringLiteral("help"), QStringLiteral("?") },
        QCoreApplication::translate("CommandLine", "Show this help and exit.")
    };
    const QCommandLineOption version { { QStringLiteral("v"), QStringLiteral("version") },
                                       QCoreApplication::translate("CommandLine",
                                                                   "Show the version and exit.") };
    const QCommandLineOption protectProfile {
        QStringLiteral("protect-profile"),
        QCoreApplication::translate("CommandLine",
                                    "Copy the stores of the browser profile in <folder> before a "
                                    "newer Chromium opens it, and exit (the browser's launcher "
                                    "does this)."),
        QStringLiteral("folder")
    };

    const QCommandLineOption installBuild {
        QStringLiteral("install-build"),
        QCoreApplication::translate(
            "CommandLine",
            "Install the published build <build> names beside the current one and pin it: a build "
            "number (the newest published at or below it), a Chromium version (131.0.6778.85), "
            "a milestone (M131) or a day (2026-11-01, UTC). Prints \"Build N is installed\"."),
        QStringLiteral("build")
    };
    const QCommandLineOption listBuilds {
        QStringLiteral("list-builds"),
        QCoreApplication::translate("CommandLine",
                                    "List the installed builds, one a line: number, version and "
                                    "marks (current, pinned, running), tab-separated.")
    };

    const QCommandLineOption bisect {
        QStringLiteral("bisect"),
        QCoreApplication::translate(
            "CommandLine",
            "Find the first bad published build between the good build GOOD and the bad build "
            "BAD (each a number, version, milestone or day; empty: the previous and the current "
            "build), running the command --bisect-run names for each step. Prints a line a step "
            "and \"First bad build: B (last good build: A)\" with the change log."),
        QStringLiteral("GOOD..BAD")
    };
    const QCommandLineOption bisectRun {
        QStringLiteral("bisect-run"),
        QCoreApplication::translate(
            "CommandLine",
            "The command --bisect runs for each step through /bin/sh, %p standing for the step's "
            "chrome and %b for its build number; its exit code is the verdict: 0 good, 125 skip, "
            "1-127 bad, 128 and above ends the bisect."),
        QStringLiteral("command")
    };

    Options()
    {
        // "-tray" is one word, not -t -r -a -y.
        parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
        parser.setApplicationDescription(QCoreApplication::translate(
            "CommandLine", "Keeps a locally installed Chromium at the newest snapshot build."));
        parser.addOption(help);
        parser.addOption(version);
        parser.addOption(protectProfile);
        parser.addOption(installBuild);
        parser.addOption(listBuilds);
        parser.addOption(bisect);
        parser.addOption(bisectRun);
        parser.addOption(QCommandLineOption(
            { QStringLiteral("t"), QStringLiteral("tray") },
            QCoreApplication::translate("CommandLine",
                                        "Start in the tray without showing the window; "
                                        "/tray does the same.")));
    }
};

} // namespace

bool CommandLine::isTrayStart(const QStringList &arguments)
{
    // "/tray" is what the run-at-logon entry passes; the other two are for people.
    for (const char *option : { "/tray", "--tray", "-t" }) {
        if (arguments.contains(QLatin1String(option), Qt::CaseSensitive))
            return true;
    }
    return false;
}

CommandLine::Request CommandLine::request(const QStringList &arguments)
{
    Options options;
    // parse(), not process(): unknown options are no reason to refuse a start.
    options.parser.parse(arguments);
    if (options.parser.isSet(options.help))
        return Request::Help;
    if (options.parser.isSet(options.version))
        return Request::Version;
    if (options.parser.isSet(options.protectProfile))
        return Request::ProtectProfile;
    if (options.parser.isSet(options.installBuild))
        return Request::InstallBuild;
    if (options.parser.isSet(options.listBuilds))
        return Request::ListBuilds;
    if (options.parser.isSet(options.bisect) || options.parser.isSet(options.bisectRun))
        return Request::Bisect;
    return Request::Run;
}

QString CommandLine::buildWanted(const QStringList &arguments)
{
    Options options;
    options.parser.parse(arguments);
    return options.parser.value(options.installBuild);
}

QString CommandLine::bisectRange(const QStringList &arguments)
{
    Options options;
    options.parser.parse(arguments);
    // A command without a range would otherwise bisect the previous build to the current one.
    return options.parser.isSet(options.bisect) ? options.parser.value(options.bisect)
                                                : QStringLiteral("-");
}

QString CommandLine::bisectCommand(const QStringList &arguments)
{
    Options options;
    options.parser.parse(arguments);
    return options.parser.value(options.bisectRun);
}

QString CommandLine::profileToProtect(const QStringList &arguments)
{
    Options options;
    options.parser.parse(arguments);
    return options.parser.value(options.protectProfile);
}

QString CommandLine::text(Request request)
{
    switch (request) {
    case Request::Help:
        return Options().parser.helpText();
    case Request::Version:
        return QCoreApplication::applicationName() + QLatin1Char(' ')
            + QCoreApplication::applicationVersion() + QLatin1Char('\n');
    case Request::Run:
    case Request::ProtectProfile:
    case Request::InstallBuild:
    case Request::ListBuilds:
    case Request::Bisect:
        break;
    }
    return QString();
}

// tarrowin-sandbox-helper: run as root through pkexec, lets the Chromium builds in the
// calling user's install root sandbox themselves where AppArmor restricts user namespaces.
// Usage: tarrowin-sandbox-helper <install root>/versions/<build>/chrome
// It writes /etc/apparmor.d/tarrowin-chromium-<uid> in one rename and loads it with
// apparmor_parser -r. Exit status: 0 done, 1 usage, 2 refused, 3 not written, 4 not loaded.

#include "install/sandboxprofile.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

#include <cstdio>
#include <unistd.h>

namespace {

int fail(int status, const QString &message)
{
    std::fprintf(stderr, "%s: %s\n", SandboxProfile::helperName, qPrintable(message));
    return status;
}

// pkexec names the user who asked; pkexec also clears the environment, so the two test
// seams below are the root user's own choice, never the caller's.
uint callingUser()
{
    bool number = false;
    const uint uid = qEnvironmentVariable("PKEXEC_UID").toUInt(&number);
    return number ? uid : ::getuid();
}

QString parser()
{
    const QString chosen = qEnvironmentVariable("TARROWIN_APPARMOR_PARSER");
    if (!chosen.isEmpty())
        return chosen;
    for (const char *path : { "/usr/sbin/apparmor_parser", "/sbin/apparmor_parser" }) {
        if (QFileInfo(QString::fromLatin1(path)).isExecutable())
            return QString::fromLatin1(path);
    }
    return QString();
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList arguments = QCoreApplication::arguments();
    if (arguments.size() != 2)
        return fail(1,
                    QStringLiteral("usage: %1 <install root>/versions/<build>/chrome")
                        .arg(QLatin1String(SandboxProfile::helperName)));

    const uint uid = callingUser();
    QString root;
    const QString refusal = SandboxProfile::refusal(arguments.at(1), uid, &root);
    if (!refusal.isEmpty())
        return fail(2, refusal);

    QString directory = qEnvironmentVariable("TARROWIN_APPARMOR_DIR");
    if (directory.isEmpty())
        directory = QLatin1String(SandboxProfile::defaultDirectory);
    const QString profile = SandboxProfile::path(directory, uid);
    const QString unwritten = SandboxProfile::write(directory, uid, root);
    if (!unwritten.isEmpty())
        return fail(3, QStringLiteral("cannot write %1: %2").arg(profile, unwritten));

    const QString program = parser();
    if (program.isEmpty())
        return fail(4, QStringLiteral("apparmor_parser is not installed"));
    QProcess load;
    load.setProcessChannelMode(QProcess::ForwardedChannels);
    load.start(program, { QStringLiteral("-r"), profile });
    if (!load.waitForFinished(60000) || load.exitStatus() != QProcess::NormalExit
        || load.exitCode() != 0) {
        // A profile the parser refuses would also fail the next boot's loading.
        QFile::remove(profile);
        return fail(4, QStringLiteral("apparmor_parser could not load the profile"));
    }
    return 0;
}

#include "browser/browserlauncher.h"

#include "browser/menuentry.h"
#include "common/desktopentry.h"
#include "common/updatelog.h"
#include "settings/config.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSaveFile>

#include <algorithm>
#include <iterator>
#include <utility>

namespace {

// Inside single quotes nothing is special but the quote itself, which is closed, escaped and
// reopened; line breaks and every other byte stay literal.
QByteArray shellQuoted(const QString &text)
{
    QByteArray quoted = QFile::encodeName(text);
    quoted.replace('\'', "'\\''");
    return '\'' + quoted + '\'';
}

QStringList &storedTestArguments()
{
    static QStringList arguments;
    return arguments;
}

} // namespace

void BrowserLauncher::setTestArguments(const QStringList &arguments)
{
    storedTestArguments() = arguments;
}

QString BrowserLauncher::path(const InstallRoot &root)
{
    return root.path() + QStringLiteral("/tarrowin-chromium");
}

QString BrowserLauncher::profile()
{
    const QString stored = Config::get(Config::BrowserProfile).toString();
    if (stored.isEmpty() || !QDir::isAbsolutePath(stored))
        return Config::defaultValue(Config::BrowserProfile).toString();
    return QDir::cleanPath(stored);
}

QByteArray BrowserLauncher::script(const InstallRoot &root, const QString &profile,
                                   const QString &program)
{
    QByteArray text = "#!/bin/sh\n"
                      "# Starts the Chromium build Tarrowin keeps up to date, with a profile of\n"
                      "# its own. Tarrowin writes this file whole: changes made here are lost.\n";
    text += "CHROME_WRAPPER=" + shellQuoted(path(root)) + '\n';
    text += QByteArray("CHROME_DESKTOP=") + desktopFileName + '\n';
    text += "export CHROME_WRAPPER CHROME_DESKTOP\n";
    text += "profile=" + shellQuoted(profile) + '\n';
    // Tarrowin's Builds tab starts a build other than current through the same script; only a
    // plain number names one, and the browser never sees the variable.
    text += "dir=" + shellQuoted(root.path() + QStringLiteral("/current")) + '\n';
    text += QByteArray("case $") + buildVariable
        + " in\n''|*[!0-9]*) ;;\n*) dir=" + shellQuoted(root.path() + QStringLiteral("/versions/"))
        + '$' + buildVariable + " ;;\nesac\nunset " + buildVariable + '\n';
    // `Last Version` holds "121.0.6167.85", the build's version file "Chromium 121.0.… …".
    // Whatever Tarrowin makes of a milestone change, the browser starts all the same. A
    // restore cut short (its journal is there) is undone first.
    text
        += "last= build=\n"
           "{ read -r last < \"$profile/Last Version\"; } 2>/dev/null\n"
           "{ read -r _ build _ < \"$dir/.tarrowin-version\"; } 2>/dev/null\n"
           "if { [ -n \"$last\" ] && [ -n \"$build\" ] && [ \"${last%%.*}\" != \"${build%%.*}\" ]; "
           "} "
           "|| [ -e \"$profile/.tarrowin-journal\" ]; then\n    "
        + shellQuoted(program)
        + " --protect-profile=\"$profile\" >/dev/null 2>&1 </dev/null\n"
          "fi\n";
    text += "exec \"$dir/chrome\" --user-data-dir=\"$profile\"";
    for (const QString &argument : std::as_const(storedTestArguments()))
        text += ' ' + shellQuoted(argument);
    text += " \"$@\"\n";
    return text;
}

bool BrowserLauncher::install(const InstallRoot &root, const QString &profile, const QString &logo,
                              const QString &program)
{
    const QByteArray text = script(
        root, profile, program.isEmpty() ? QCoreApplication::applicationFilePath() : program);
    QSaveFile file(path(root));
    const QFileDevice::Permissions executable = QFileDevice::ReadOwner | QFileDevice::WriteOwner
        | QFileDevice::ExeOwner | QFileDevice::ReadGroup | QFileDevice::ExeGroup
        | QFileDevice::ReadOther | QFileDevice::ExeOther;
    // Most starts find the launcher as they would write it; rewriting costs a sync.
    if (DesktopEntry::holds(path(root), text)
        && (QFile::permissions(path(root)) & executable) == executable)
        return MenuEntry::write(path(root), logo);
    if (!file.open(QIODevice::WriteOnly) || !file.setPermissions(executable)
        || file.write(text) != text.size()) {
        file.cancelWriting();
        qCWarning(lcUpdate) << "Could not write the browser's launcher" << path(root);
        return false;
    }
    if (!file.commit()) {
        qCWarning(lcUpdate) << "Could not write the browser's launcher" << path(root);
        return false;
    }
    if (!MenuEntry::write(path(root), logo)) {
        qCWarning(lcUpdate) << "Could not write the menu entry" << MenuEntry::desktopFile();
        return false;
    }
    return true;
}

QProcessEnvironment BrowserLauncher::environment(const QProcessEnvironment &session)
{
    // Qt reads QT_*, QML_* and QSG_* of whatever program it runs in; Chromium draws with Qt
    // where its Qt theme is chosen, and a platform, scale or backend set for Tarrowin is not
    // the browser's. TARROWIN_* are the program's own seams for its tests.
    static const QLatin1String prefixes[]
        = { QLatin1String("QT_"), QLatin1String("QML_"), QLatin1String("QML2_"),
            QLatin1String("QSG_"), QLatin1String("TARROWIN_") };
    QProcessEnvironment browser = session;
    const QStringList names = session.keys();
    for (const QString &name : names) {
        if (std::any_of(std::begin(prefixes), std::end(prefixes),
                        [&name](QLatin1String prefix) { return name.startsWith(prefix); }))
            browser.remove(name);
    }
    return browser;
}

QStringList BrowserLauncher::testArguments()
{
    return storedTestArguments();
}

bool BrowserLauncher::start(const InstallRoot &root, const QStringList &arguments, int build)
{
    QProcess launcher;
    launcher.setProgram(path(root));
    launcher.setArguments(arguments);
    launcher.setWorkingDirectory(QDir::homePath());
    QProcessEnvironment browser = environment(QProcessEnvironment::systemEnvironment());
    if (build >= 0)
        browser.insert(QLatin1String(buildVariable), QString::number(build));
    launcher.setProcessEnvironment(browser);
    return launcher.startDetached();
}

void BrowserLauncher::refresh(const InstallRoot &root)
{
    const int build = root.currentBuild();
    if (build == -1)
        return;
    install(root, profile(), root.versionPath(build) + QStringLiteral("/product_logo_48.png"));
}

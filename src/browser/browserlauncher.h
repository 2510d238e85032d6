#pragma once

#include "install/installroot.h"

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

// The one way the installed browser is started: the menu entry, the shortcuts of web apps the
// browser makes (it names its starter in them, from CHROME_WRAPPER) and a relaunch all run
// <install root>/tarrowin-chromium, a path no build switch or pruning changes. It is a shell
// script rather than a program of ours: /bin/sh starts in about a millisecond, where loading
// Qt costs tens, and it keeps working wherever Tarrowin itself is later installed or moved.
// It starts current/chrome with the profile of its own, tells the browser that it is its
// starter and which desktop file is its own, and passes every argument on unchanged.
namespace BrowserLauncher {

// The name of the browser's desktop file, which the browser registers itself under when it
// is made the default browser.
inline constexpr char desktopFileName[] = "tarrowin-chromium.desktop";
// The window class the browser gives its windows: the desktop file's name without the
// extension, its first letter in capitals.
inline constexpr char windowClass[] = "Tarrowin-chromium";

QString path(const InstallRoot &root);

// Test seam: switches the launcher passes before the caller's arguments, so that a test running
// a real Chromium as root can start it without its sandbox and off the network. The shipped
// program never sets them.
void setTestArguments(const QStringList &arguments);
QStringList testArguments();

// What the launcher reads to start versions/<N>/chrome instead of current's: the number alone.
inline constexpr char buildVariable[] = "TARROWIN_LAUNCH_BUILD";

// The profile folder "BrowserProfile" names; its default where it names no absolute path
// (a relative one would depend on wherever the browser happens to be started from).
QString profile();

// The script for the root and profile. Both are quoted for the shell whatever they contain.
QByteArray script(const InstallRoot &root, const QString &profile, const QString &program);

// Writes the launcher whole (an interrupted write leaves the old one) and, when that
// succeeded, the menu entry that runs it, with the build's logo when it has one. program is
// the Tarrowin the launcher asks for a snapshot of the profile (--protect-profile) when the
// profile's `Last Version` names another milestone than the current build's; the common
// start, same milestone, reads two short files and runs nothing else.
bool install(const InstallRoot &root, const QString &profile, const QString &logo,
             const QString &program = QString());

// What the browser is started with: the session's environment, without what was meant for
// Tarrowin alone (its Qt settings, its test seams).
QProcessEnvironment environment(const QProcessEnvironment &session);

// Starts the launcher, detached, in that environment; with a build, that installed build
// rather than current, on the same profile.
bool start(const InstallRoot &root, const QStringList &arguments, int build = -1);

// Brings an existing installation's launcher and menu entry up to date (the profile may have
// changed, or they may date from an earlier version); nothing while no build is installed.
void refresh(const InstallRoot &root);

} // namespace BrowserLauncher

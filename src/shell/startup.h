#pragma once

#include <QStringList>

#include <memory>

class WindowHost;
class ProxyPrompt;
class QQmlEngine;

namespace Startup {

// Organisation and application names: they fix where the settings store lives, so they
// are set before anything reads a setting. Also the version, the desktop file name and
// English's plural forms for texts that count.
void setApplicationIdentity();

// Every request goes through the proxy the settings, the desktop or the environment name,
// and trusts the certificates the settings and the environment add. Returns the engine's
// question for a proxy's credentials, which the view shows.
ProxyPrompt *useNetworkSettings(QQmlEngine *engine);

// The native element types of the module "Tarrowin 1.0".
void registerTypes();

// Hands the view's leftovers back once start-up's first check has answered and after every
// download or installation, while the program waits.
void releaseAfterWork(WindowHost *host);

// Creates the window host, loads the main view and, unless the arguments ask for a tray
// start and the desktop has a tray, makes the window and shows it at its startup position.
std::unique_ptr<WindowHost> createMainWindow(const QStringList &arguments);

} // namespace Startup

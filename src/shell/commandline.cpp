#include "shell/commandline.h"

bool CommandLine::isTrayStart(const QStringList &arguments)
{
    // "/tray" is what the run-at-logon entry passes; the other two are for people.
    for (const char *option : { "/tray", "--tray", "-t" }) {
        if (arguments.contains(QLatin1String(option), Qt::CaseSensitive))
            return true;
    }
    return false;
}

#include "common/desktopentry.h"

QString DesktopEntry::quotedProgram(const QString &programPath)
{
    // Inside the quotes the launcher's own parser unescapes these four.
    QString quoted;
    quoted.reserve(programPath.size() + 2);
    quoted += QLatin1Char('"');
    for (const QChar c : programPath) {
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$')
            || c == QLatin1Char('\\'))
            quoted += QLatin1Char('\\');
        quoted += c;
    }
    quoted += QLatin1Char('"');
    // The key-file layer unescapes the whole value once before the Exec rules apply, and %
    // starts a field code.
    quoted.replace(QLatin1Char('\\'), QStringLiteral("\\\\"));
    quoted.replace(QLatin1Char('%'), QStringLiteral("%%"));
    // A line break in a name must not end the line and start a key of its own.
    quoted.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    quoted.replace(QLatin1Char('\r'), QStringLiteral("\\r"));
    return quoted;
}

#include "common/desktopentry.h"

#include <QFile>
#include <QFileInfo>

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
    // The key-file layer unescapes the whole value once before the Exec rules apply (a line
    // break in a name must not start a key of its own), and % starts a field code.
    return escapedValue(quoted).replace(QLatin1Char('%'), QStringLiteral("%%"));
}

QString DesktopEntry::escapedValue(const QString &value)
{
    QString escaped;
    escaped.reserve(value.size());
    for (const QChar c : value) {
        switch (c.unicode()) {
        case u'\\':
            escaped += QStringLiteral("\\\\");
            break;
        case u'\n':
            escaped += QStringLiteral("\\n");
            break;
        case u'\r':
            escaped += QStringLiteral("\\r");
            break;
        case u'\t':
            escaped += QStringLiteral("\\t");
            break;
        default:
            escaped += c;
        }
    }
    // Leading blanks of a value are dropped by readers unless escaped.
    if (escaped.startsWith(QLatin1Char(' ')))
        escaped.replace(0, 1, QStringLiteral("\\s"));
    return escaped;
}

QString DesktopEntry::unescapedValue(const QString &value)
{
    QString plain;
    plain.reserve(value.size());
    for (qsizetype i = 0; i < value.size(); ++i) {
        const QChar c = value.at(i);
        if (c != QLatin1Char('\\') || i + 1 == value.size()) {
            plain += c;
            continue;
        }
        switch (value.at(++i).unicode()) {
        case u's':
            plain += QLatin1Char(' ');
            break;
        case u'n':
            plain += QLatin1Char('\n');
            break;
        case u'r':
            plain += QLatin1Char('\r');
            break;
        case u't':
            plain += QLatin1Char('\t');
            break;
        case u'\\':
            plain += QLatin1Char('\\');
            break;
        default: // not an escape: kept as written
            plain += c;
            plain += value.at(i);
        }
    }
    return plain;
}

bool DesktopEntry::holds(const QString &path, const QByteArray &bytes)
{
    const QFileInfo info(path);
    if (info.isSymLink() || !info.isFile() || info.size() != bytes.size())
        return false;
    QFile file(path);
    return file.open(QIODevice::ReadOnly) && file.read(bytes.size() + 1) == bytes;
}

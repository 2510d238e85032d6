#include "support/viewprobe.h"

#include "shell/windowhost.h"

#include <QQmlContext>
#include <QQmlExpression>
#include <QRegularExpression>

namespace {

// The window's contents, made only while the window is wanted, have a scope of their own
// below the window's frame's, itself below the view's: there the ids of all are known. An id
// of one of the view's files inside the contents (a tab's, or a part of one) is known only in
// that file's scope, looked for anew each time: the window may have been made again since.
// The desktop components' own ids stay theirs.
QQmlContext *scopeOf(const WindowHost *host, const QString &id)
{
    QObject *root = host->rootObject();
    auto *content = root->property("content").value<QObject *>();
    QQmlContext *scope = qmlContext(content ? content : root);
    for (QQmlContext *context = scope; context; context = context->parentContext()) {
        if (context->objectForName(id))
            return scope;
    }
    const QUrl folder = scope->baseUrl().adjusted(QUrl::RemoveFilename);
    const QList<QObject *> made = content ? content->findChildren<QObject *>() : QList<QObject *>();
    for (QObject *object : made) {
        QQmlContext *own = qmlContext(object);
        if (own && own->baseUrl().adjusted(QUrl::RemoveFilename) == folder
            && own->objectForName(id))
            return own;
    }
    return scope;
}

QString firstIdentifier(const QString &expression)
{
    static const QRegularExpression identifier(QStringLiteral("^\\s*([A-Za-z_$][\\w$]*)"));
    return identifier.match(expression).captured(1);
}

} // namespace

QVariant ViewProbe::operator()(const QString &expression) const
{
    QQmlExpression script(scopeOf(m_host, firstIdentifier(expression)), m_host->rootObject(),
                          expression);
    const QVariant result = script.evaluate();
    if (script.hasError())
        qWarning("%s: %s", qPrintable(expression), qPrintable(script.error().toString()));
    return result;
}

QObject *ViewProbe::object(const QString &id) const
{
    for (QQmlContext *context = scopeOf(m_host, id); context; context = context->parentContext()) {
        if (QObject *found = context->objectForName(id))
            return found;
    }
    return nullptr;
}

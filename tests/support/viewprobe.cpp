#include "support/viewprobe.h"

#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickView>

namespace {

// The window's contents, made only while the window is wanted, have a scope of their own
// below the view's: there the ids of both are known.
QQmlContext *viewContext(const QQuickView *view)
{
    QObject *root = view->rootObject();
    if (auto *content = root->property("content").value<QObject *>())
        return qmlContext(content);
    return qmlContext(root);
}

} // namespace

QVariant ViewProbe::operator()(const QString &expression) const
{
    QObject *root = m_view->rootObject();
    QQmlExpression script(viewContext(m_view), root, expression);
    const QVariant result = script.evaluate();
    if (script.hasError())
        qWarning("%s: %s", qPrintable(expression), qPrintable(script.error().toString()));
    return result;
}

QObject *ViewProbe::object(const QString &id) const
{
    QQmlContext *root = qmlContext(m_view->rootObject());
    for (QQmlContext *context = viewContext(m_view); context; context = context->parentContext()) {
        if (QObject *found = context->objectForName(id))
            return found;
        if (context == root)
            break;
    }
    return nullptr;
}

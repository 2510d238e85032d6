#include "support/viewprobe.h"

#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickItem>
#include <QQuickView>

QVariant ViewProbe::operator()(const QString &expression) const
{
    QObject *root = m_view->rootObject();
    QQmlExpression script(qmlContext(root), root, expression);
    const QVariant result = script.evaluate();
    if (script.hasError())
        qWarning("%s: %s", qPrintable(expression), qPrintable(script.error().toString()));
    return result;
}

QObject *ViewProbe::object(const QString &id) const
{
    return qmlContext(m_view->rootObject())->objectForName(id);
}

#pragma once

#include <QVariant>

class QQuickView;

// Reads and changes the loaded main view from a test, by evaluating expressions in the
// view's own scope, where the ids of its objects are known.
class ViewProbe
{
public:
    explicit ViewProbe(QQuickView *view)
        : m_view(view)
    {
    }

    QVariant operator()(const QString &expression) const;
    QObject *object(const QString &id) const;

private:
    QQuickView *m_view;
};

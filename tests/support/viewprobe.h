#pragma once

#include <QVariant>

class WindowHost;

// Reads and changes the loaded main view from a test, by evaluating expressions in the
// view's own scope, where the ids of its objects are known, or, for an id of one of the
// window's files (a tab's), in that file's scope.
class ViewProbe
{
public:
    explicit ViewProbe(WindowHost *host)
        : m_host(host)
    {
    }

    QVariant operator()(const QString &expression) const;
    QObject *object(const QString &id) const;

private:
    WindowHost *m_host;
};

#pragma once

#include <QList>
#include <QObject>
#include <QQmlListProperty>

// A non-visual QML root for a list of objects: the main view's objects are declared inside
// it as they would be inside an item, without bringing in Qt Quick.
class ObjectGroup : public QObject
{
    Q_OBJECT
    Q_PROPERTY(QQmlListProperty<QObject> objects READ objects CONSTANT)
    Q_CLASSINFO("DefaultProperty", "objects")

public:
    explicit ObjectGroup(QObject *parent = nullptr)
        : QObject(parent)
    {
    }

    QQmlListProperty<QObject> objects() { return { this, &m_objects }; }

private:
    QList<QObject *> m_objects;
};

#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QVariant>

class QDBusPendingCallWatcher;

// One property of an object that another program offers on a bus, kept current without
// polling: read at once and whenever the service appears, followed through the standard
// PropertiesChanged signal, and invalid while the service is away or does not answer.
class ServiceProperty : public QObject
{
    Q_OBJECT

public:
    ServiceProperty(const QDBusConnection &bus, const QString &service, const QString &path,
                    const QString &interface, const QString &name, QObject *parent = nullptr);

    // Asks for the value afresh.
    void read();

signals:
    // Every answer and every change, the first included.
    void valueRead(const QVariant &value);

private slots:
    void propertiesChanged(const QString &interface, const QVariantMap &changed,
                           const QStringList &invalidated);

private:
    void answered(QDBusPendingCallWatcher *call);

    QDBusConnection m_bus;
    const QString m_service;
    const QString m_path;
    const QString m_interface;
    const QString m_name;
};

#pragma once

#include <QObject>

#include <functional>

// A proxy's user and password in the desktop's Secret Service (through QtKeychain), never
// in the settings file: QtKeychain's fallback to a plain file is left off. Each entry is
// named by the proxy and its realm.
class ProxyKeychain : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    // Empty user: nothing stored, or no Secret Service to ask.
    using Found = std::function<void(const QString &user, const QString &password)>;
    void read(const QString &entry, const Found &found);
    // stored: false where no Secret Service took them.
    void write(const QString &entry, const QString &user, const QString &password,
               const std::function<void(bool stored)> &done);
};

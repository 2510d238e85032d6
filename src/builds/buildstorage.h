#pragma once

#include <QString>
#include <QUrl>

// Where every request to the build storage goes: an organisation's mirror or cache when the
// settings name one (Config::BuildStorage, often set system-wide), else the public storage.
class BuildStorage
{
public:
    // The address of path (which starts with a slash) below the storage in use.
    static QUrl url(const QString &path);
    // The address of path at the public storage itself, whatever the settings name: what it
    // says of an object is what a mirror's copy is checked against.
    static QUrl originUrl(const QString &path);
    // The mirror named in the settings; empty when none is, or when it is not an HTTPS
    // address: the program runs what it fetches, so it never asks in the clear.
    static QUrl mirror();
};

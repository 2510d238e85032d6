#pragma once

#include "transfer/partialdownload.h"

#include <QDir>

// Kept parts in staging directories side by side, named as the install root names them; one
// that was looked at goes at once.
inline PartialDownload::Shelf testShelf()
{
    return { QStringLiteral("resume.json"), QStringLiteral(".staging-*"),
             [](const QString &directory) { QDir(directory).removeRecursively(); } };
}

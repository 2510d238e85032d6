#pragma once

#include "transfer/objecthash.h"
#include "transfer/partialdownload.h"

#include <QByteArray>
#include <QUrl>

#include <optional>

class QFile;

// What to judge the body by instead of the response's own x-goog-hash, for a mirror whose
// bytes the storage's metadata vouches for.
struct FetchExpected
{
    ObjectHash::Expected hash;
    qint64 size = -1;
    QByteArray generation;
};

// One object to bring into a file the caller opened.
struct FetchRequest
{
    QUrl url;
    // Open for reading and writing; holds the kept part that `record` describes.
    QFile *file = nullptr;
    PartialDownload::Record record;
    // Where the record of a kept part is written; none keeps nothing past the transfer.
    std::optional<PartialDownload> partial;
    // The upload to ask for (x-goog-if-generation-match); empty for whatever is there.
    QByteArray generation;
    std::optional<FetchExpected> expected;
};

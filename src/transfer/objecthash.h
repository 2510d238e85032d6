#pragma once

#include "transfer/crc32c.h"

#include <QByteArray>
#include <QCryptographicHash>

// The checksums the build storage sends with an object, "x-goog-hash:
// crc32c=<base64>,md5=<base64>", and the running hashes of a body to compare with them.
class ObjectHash
{
public:
    struct Expected
    {
        // Raw digests (decoded from base64); empty when the header does not name them.
        QByteArray crc32c;
        QByteArray md5;
        // False when no header was sent or it named no hash we know; a malformed value
        // for a known hash makes `malformed` true.
        bool present = false;
        bool malformed = false;
    };

    // Parses every x-goog-hash value of a response (the header may come more than once,
    // which Qt joins with ", ").
    static Expected parse(const QByteArray &header);

    // Computes only what checking `expected` needs: CRC-32C when it is named, MD5 only
    // without it (MD5 costs ten times as much). Until called, both are computed.
    void choose(const Expected &expected);
    void addData(QByteArrayView data);
    // Starts over, for a new transfer of the same object.
    void reset();
    // True when the hashes computed of those `expected` names match the data added so far,
    // and at least one was. An absent header matches; a malformed one does not.
    bool matches(const Expected &expected) const;
    std::uint32_t crc32c() const { return m_crc.value(); }

private:
    Crc32c m_crc;
    QCryptographicHash m_md5 { QCryptographicHash::Md5 };
    bool m_useCrc = true;
    bool m_useMd5 = true;
};

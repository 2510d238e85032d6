#include "transfer/objecthash.h"

#include <QList>

namespace {

// Decodes one named digest into `slot`. A value that is not strict base64 of the expected
// size, or that contradicts an earlier value for the same name, cannot be trusted.
bool takeDigest(QByteArray &slot, const QByteArray &value, qsizetype size)
{
    const auto decoded = QByteArray::fromBase64Encoding(
        value, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || decoded.decoded.size() != size)
        return false;
    if (!slot.isEmpty() && slot != decoded.decoded)
        return false;
    slot = decoded.decoded;
    return true;
}

} // namespace

ObjectHash::Expected ObjectHash::parse(const QByteArray &header)
{
    Expected expected;
    const QList<QByteArray> items = header.split(',');
    for (const QByteArray &rawItem : items) {
        const QByteArray item = rawItem.trimmed();
        const qsizetype eq = item.indexOf('=');
        const QByteArray name = (eq < 0 ? item : item.left(eq)).trimmed().toLower();
        const QByteArray value = eq < 0 ? QByteArray() : item.mid(eq + 1).trimmed();
        bool ok = true;
        if (name == "crc32c")
            ok = takeDigest(expected.crc32c, value, 4);
        else if (name == "md5")
            ok = takeDigest(expected.md5, value, 16);
        else
            continue; // other algorithms may be added by the storage; not ours to judge
        expected.present = true;
        if (!ok)
            expected.malformed = true;
    }
    return expected;
}

void ObjectHash::choose(const Expected &expected)
{
    m_useCrc = !expected.crc32c.isEmpty();
    m_useMd5 = !expected.md5.isEmpty() && !m_useCrc;
}

void ObjectHash::addData(QByteArrayView data)
{
    if (m_useCrc)
        m_crc.addData(data);
    if (m_useMd5)
        m_md5.addData(data);
}

bool ObjectHash::matches(const Expected &expected) const
{
    if (expected.malformed)
        return false;
    if (!expected.present)
        return true;
    bool checked = false;
    if (m_useCrc && !expected.crc32c.isEmpty()) {
        if (expected.crc32c != Crc32c::digest(m_crc.value()))
            return false;
        checked = true;
    }
    if (m_useMd5 && !expected.md5.isEmpty()) {
        if (expected.md5 != m_md5.resultView())
            return false;
        checked = true;
    }
    return checked;
}

void ObjectHash::reset()
{
    m_crc = Crc32c();
    m_md5.reset();
}

#include "builds/objecthash.h"

ObjectHash::Expected ObjectHash::parse(const QByteArray &) { return Expected(); }
void ObjectHash::addData(QByteArrayView data)
{
    m_crc.addData(data);
    m_md5.addData(data);
}
bool ObjectHash::matches(const Expected &) const { return true; }

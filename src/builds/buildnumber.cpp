#include "builds/buildnumber.h"

#include <limits>

int BuildNumber::parse(QByteArrayView body)
{
    qsizetype i = 0;
    auto isSpace = [](char c) { return c == ' ' || (c >= '\t' && c <= '\r'); };
    while (i < body.size() && isSpace(body[i]))
        ++i;

    bool negative = false;
    if (i < body.size() && (body[i] == '+' || body[i] == '-')) {
        negative = body[i] == '-';
        ++i;
    }

    const qsizetype firstDigit = i;
    qint64 value = 0;
    for (; i < body.size(); ++i) {
        const char c = body[i];
        if (c < '0' || c > '9')
            return -1;
        value = value * 10 + (c - '0');
        if (value > qint64(std::numeric_limits<int>::max()) + 1)
            return -1;
    }
    if (i == firstDigit)
        return -1;

    if (negative)
        value = -value;
    if (value < std::numeric_limits<int>::min() || value > std::numeric_limits<int>::max())
        return -1;
    return value == 0 ? -1 : int(value);
}

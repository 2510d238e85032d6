#pragma once

#include <QByteArrayView>

// The pieces of build tracking that are pure decisions, kept apart so they can be tested
// without a server.
namespace BuildNumber {

// A LAST_CHANGE body as a build number: optional leading white space, an optional sign and
// decimal digits that fit in 32 bits, with nothing after them (not even a line break).
// Anything else, and 0, is "no number": -1.
int parse(QByteArrayView body);

} // namespace BuildNumber

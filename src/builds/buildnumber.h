#pragma once

#include <QByteArrayView>
#include <QUrl>

// The pieces of build tracking that are pure decisions, kept apart so they can be tested
// without a server.
namespace BuildNumber {

// A LAST_CHANGE body as a build number: optional leading white space, an optional sign and
// decimal digits that fit in 32 bits, with nothing after them (not even a line break).
// Anything else, and 0, is "no number": -1.
int parse(QByteArrayView body);

// The address to follow for a redirect from `from` with the given Location, or an empty URL
// when it must not be followed: not HTTP(S), or a step down from HTTPS to HTTP, which would
// let anyone on the path hand us the executable we are about to run.
QUrl redirectTarget(const QUrl &from, const QByteArray &location);

} // namespace BuildNumber

#pragma once

#include <QByteArray>
#include <QUrl>

// Which redirects a transfer follows, kept apart so that it can be tested without a server.
namespace RedirectRule {

// The address to follow for a redirect from `from` with the given Location, or an empty URL
// when it must not be followed: not HTTP(S), or a step down from HTTPS to HTTP, which would
// let anyone on the path hand us the executable we are about to run.
QUrl target(const QUrl &from, const QByteArray &location);

} // namespace RedirectRule

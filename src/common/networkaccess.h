#pragma once

class QNetworkAccessManager;
class QObject;

namespace NetworkAccess {

// The network manager `element` should send its requests through. Elements the QML engine
// made share the engine's one manager: one network thread, and one pool of connections, so
// the download reuses the connection (and TLS session) that just fetched LAST_CHANGE. An
// element made without an engine gets its own, owned by the element.
// Call it at the first request, not in a constructor: the engine is known only once the
// element has been made.
QNetworkAccessManager *managerFor(QObject *element);

} // namespace NetworkAccess

// The program exactly as shipped, except that its two servers are taken from the
// environment, so whole-program tests can point it at servers on 127.0.0.1. Without them it
// talks to a loopback port where nothing listens, never to the outside world.

#include "common/endpoints.h"
#include "shell/qmain.h"

#include <QByteArray>
#include <QUrl>

namespace {

QUrl fromEnvironment(const char *name)
{
    const QByteArray value = qgetenv(name);
    return QUrl(value.isEmpty() ? QStringLiteral("https://127.0.0.1:9") : QString::fromUtf8(value));
}

} // namespace

int main(int argc, char *argv[])
{
    Endpoints::setBuildStorage(fromEnvironment("TARROWIN_TEST_BUILD_STORAGE"));
    Endpoints::setMaker(fromEnvironment("TARROWIN_TEST_MAKER"));
    return qMain(argc, argv);
}

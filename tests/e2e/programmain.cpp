// The program exactly as shipped, except that its servers are taken from the
// environment, so whole-program tests can point it at servers on 127.0.0.1. Without them it
// talks to a loopback port where nothing listens, never to the outside world. Where it may
// meet HTTPS it trusts the suite's certificate for 127.0.0.1, so an HTTPS "BuildStorage"
// mirror on loopback (the fleet benchmark's caching proxy) is reached as a real one would be,
// checks are not spread out over a random minute unless TARROWIN_TEST_SPREAD_CHECKS=1,
// TARROWIN_TEST_SEQUENTIAL_INSTALL=1 unpacks an archive only once it is whole, and the
// switches in TARROWIN_TEST_BROWSER_ARGUMENTS go into the browser's launcher (a real Chromium
// run as root needs --no-sandbox). TARROWIN_TEST_CONTENT_LIFETIME_MS shortens how long the
// window outlives a hide (the idle benchmark's memory after a hide).

#include "browser/browserlauncher.h"
#include "builds/buildstorage.h"
#include "builds/chromedownloader.h"
#include "common/endpoints.h"
#include "shell/qmain.h"
#include "shell/startup.h"
#include "shell/windowhost.h"
#include "update/checkschedule.h"

#include <QByteArray>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUrl>

namespace {

QUrl fromEnvironment(const char *name)
{
    const QByteArray value = qgetenv(name);
    return QUrl(value.isEmpty() ? QStringLiteral("https://127.0.0.1:9") : QString::fromUtf8(value));
}

void trustTestCertificate()
{
    QFile file(QStringLiteral(TARROWIN_TEST_CERTIFICATE));
    if (!file.open(QIODevice::ReadOnly))
        return;
    QSslConfiguration configuration = QSslConfiguration::defaultConfiguration();
    configuration.addCaCertificates(QSslCertificate::fromData(file.readAll(), QSsl::Pem));
    QSslConfiguration::setDefaultConfiguration(configuration);
}

} // namespace

int main(int argc, char *argv[])
{
    const QUrl storage = fromEnvironment("TARROWIN_TEST_BUILD_STORAGE");
    const QUrl maker = fromEnvironment("TARROWIN_TEST_MAKER");
    Endpoints::setBuildStorage(storage);
    Endpoints::setMaker(maker);
    Endpoints::setReleases(fromEnvironment("TARROWIN_TEST_RELEASES"));
    // Trusting loads the TLS library, which the program itself loads only for its first HTTPS
    // request: runs whose servers all answer in plain HTTP (the start-up and idle benchmarks)
    // go without it. The mirror is read from the settings, which need the program's identity.
    Startup::setApplicationIdentity();
    const QLatin1String http("http");
    if (storage.scheme() != http || maker.scheme() != http || !BuildStorage::mirror().isEmpty())
        trustTestCertificate();
    // The publish benchmark's second order: an archive unpacked only once it is whole.
    ChromeDownloader::setPipelining(qgetenv("TARROWIN_TEST_SEQUENTIAL_INSTALL") != "1");
    CheckSchedule::setSpreading(qgetenv("TARROWIN_TEST_SPREAD_CHECKS") == "1");
    BrowserLauncher::setTestArguments(
        QProcess::splitCommand(qEnvironmentVariable("TARROWIN_TEST_BROWSER_ARGUMENTS")));
    WindowHost::setTestContentLifetime(std::chrono::milliseconds(
        qEnvironmentVariableIntValue("TARROWIN_TEST_CONTENT_LIFETIME_MS")));
    return qMain(argc, argv);
}

#include "common/endpoints.h"

namespace {

// The one piece of mutable global state: the test seams for server addresses.
QUrl &buildStorageUrl()
{
    static QUrl url(QStringLiteral("https://storage.googleapis.com"));
    return url;
}

QUrl &makerUrl()
{
    static QUrl url(QStringLiteral("https://quillmarsh.example"));
    return url;
}

QUrl &releasesUrl()
{
    static QUrl url(QStringLiteral("https://chromiumdash.appspot.com"));
    return url;
}

} // namespace

QUrl Endpoints::buildStorage()
{
    return buildStorageUrl();
}

QUrl Endpoints::maker()
{
    return makerUrl();
}

void Endpoints::setBuildStorage(const QUrl &url)
{
    buildStorageUrl() = url;
}

void Endpoints::setMaker(const QUrl &url)
{
    makerUrl() = url;
}

QUrl Endpoints::releases()
{
    return releasesUrl();
}

void Endpoints::setReleases(const QUrl &url)
{
    releasesUrl() = url;
}

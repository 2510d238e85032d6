#include "builds/buildstorage.h"

#include "common/endpoints.h"
#include "common/updatelog.h"
#include "settings/config.h"

namespace {

QUrl below(QUrl base, const QString &path)
{
    // A mirror may keep the storage's folders below a path of its own.
    QString prefix = base.path();
    while (prefix.endsWith(QLatin1Char('/')))
        prefix.chop(1);
    base.setPath(prefix + path);
    return base;
}

} // namespace

QUrl BuildStorage::url(const QString &path)
{
    const QUrl base = mirror();
    return below(base.isEmpty() ? Endpoints::buildStorage() : base, path);
}

QUrl BuildStorage::originUrl(const QString &path)
{
    return below(Endpoints::buildStorage(), path);
}

QUrl BuildStorage::mirror()
{
    const QString configured = Config::get(Config::BuildStorage).toString().trimmed();
    if (configured.isEmpty())
        return QUrl();
    const QUrl url(configured, QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty()
        || url.hasQuery() || url.hasFragment()) {
        qCWarning(lcUpdate) << "Ignoring" << Config::name(Config::BuildStorage) << configured
                            << "- not an HTTPS address; asking the public storage";
        return QUrl();
    }
    return url;
}

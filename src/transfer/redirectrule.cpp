#include "transfer/redirectrule.h"

QUrl RedirectRule::target(const QUrl &from, const QByteArray &location)
{
    const QUrl target = from.resolved(QUrl::fromEncoded(location.trimmed()));
    const QString scheme = target.scheme().toLower();
    if (!target.isValid() || target.host().isEmpty())
        return {};
    if (scheme != QLatin1String("https") && scheme != QLatin1String("http"))
        return {};
    if (from.scheme().toLower() == QLatin1String("https") && scheme == QLatin1String("http"))
        return {};
    return target;
}

#include "settings/config.h"

#include <QSettings>
#include <QStandardPaths>

namespace {

struct Entry
{
    Config::Key key;
    const char *name;
    QVariant defaultValue;
};

// Booleans default to the text "true", as the store gives back what it wrote.
const Entry table[] = {
    { Config::CurrentBuild, "CurrentBuild", -1 },
    { Config::RunOnStartup, "RunOnStartup", QStringLiteral("true") },
    { Config::StartupPosition, "StartupPosition", QVariant() },
    { Config::UpdateCheckInterval, "UpdateCheckInterval", 5 },
    { Config::UpdateCheckFactor, "UpdateCheckFactor", 0 },
    { Config::ShowNotifications, "ShowNotifications", QStringLiteral("true") },
    { Config::SkippedBuild, "SkippedBuild", -1 },
    { Config::FailedBuild, "FailedBuild", -1 },
    { Config::FailedAttempts, "FailedAttempts", 0 },
    { Config::BuildStorage, "BuildStorage", QVariant() },
    { Config::DownloadOnMetered, "DownloadOnMetered", QStringLiteral("false") },
    { Config::DownloadOnBattery, "DownloadOnBattery", QStringLiteral("false") },
    // Its default depends on XDG_CONFIG_HOME, so it is worked out when asked for.
    { Config::BrowserProfile, "BrowserProfile", QVariant() },
    { Config::Proxy, "Proxy", QVariant() },
    { Config::CaCertificates, "CaCertificates", QVariant() },
    { Config::KeepBuilds, "KeepBuilds", 2 },
    { Config::PinnedBuilds, "PinnedBuilds", QVariant() },
    { Config::StayOnBuild, "StayOnBuild", -1 },
    { Config::BisectCacheSize, "BisectCacheSize", qint64(2) * 1024 * 1024 * 1024 },
};

QString defaultBrowserProfile()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
        + QStringLiteral("/tarrowin-chromium");
}

} // namespace

QString Config::name(Key key)
{
    for (const Entry &entry : table) {
        if (entry.key == key)
            return QString::fromLatin1(entry.name);
    }
    return QString();
}

QVariant Config::defaultValue(Key key)
{
    if (key == BrowserProfile)
        return defaultBrowserProfile();
    for (const Entry &entry : table) {
        if (entry.key == key)
            return entry.defaultValue;
    }
    return QVariant();
}

QVariant Config::get(Key key)
{
    return QSettings().value(name(key), defaultValue(key));
}

bool Config::contains(Key key)
{
    return QSettings().contains(name(key));
}

void Config::set(Key key, const QVariant &value)
{
    QSettings().setValue(name(key), value);
}

void Config::remove(Key key)
{
    QSettings().remove(name(key));
}

QString Config::save(const QList<QPair<Key, QVariant>> &values)
{
    QSettings settings;
    for (const auto &[key, value] : values)
        settings.setValue(name(key), value);
    settings.sync();
    return settings.status() == QSettings::NoError ? QString() : settings.fileName();
}

QVariantMap Config::names()
{
    QVariantMap result;
    for (const Entry &entry : table)
        result.insert(QString::fromLatin1(entry.name), QString::fromLatin1(entry.name));
    return result;
}

QVariantMap Config::defaults()
{
    QVariantMap result;
    for (const Entry &entry : table)
        result.insert(QString::fromLatin1(entry.name), defaultValue(entry.key));
    return result;
}

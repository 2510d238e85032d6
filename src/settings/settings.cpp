#include "settings/settings.h"

#include "settings/config.h"

Settings::Settings(QObject *parent)
    : QSettings(parent)
    , m_keys(Config::names())
    , m_defaults(Config::defaults())
{
}

void Settings::clear()
{
    QSettings::clear();
}

bool Settings::contains(const QString &key) const
{
    return QSettings::contains(key);
}

void Settings::remove(const QString &key)
{
    QSettings::remove(key);
}

void Settings::setValue(const QString &key, const QVariant &value)
{
    QSettings::setValue(key, value);
}

QVariant Settings::value(const QString &key, const QVariant &defaultValue) const
{
    return QSettings::value(key, defaultValue);
}

QVariant Settings::value(const QString &key) const
{
    return QSettings::value(key);
}

#pragma once

#include <QSettings>

// The view's door to the per-user settings store. Every call goes straight to QSettings:
// no caching, no conversion, so the view sees exactly what the native parts wrote.
// The view names keys and defaults through `keys` and `defaults`, from the one key table.
class Settings : public QSettings
{
    Q_OBJECT
    Q_PROPERTY(QVariantMap keys READ keys CONSTANT)
    Q_PROPERTY(QVariantMap defaults READ defaults CONSTANT)

public:
    explicit Settings(QObject *parent = nullptr);

    QVariantMap keys() const { return m_keys; }
    QVariantMap defaults() const { return m_defaults; }

    Q_INVOKABLE void clear();
    Q_INVOKABLE bool contains(const QString &key) const;
    Q_INVOKABLE void remove(const QString &key);
    Q_INVOKABLE void setValue(const QString &key, const QVariant &value);
    Q_INVOKABLE QVariant value(const QString &key, const QVariant &defaultValue) const;
    Q_INVOKABLE QVariant value(const QString &key) const;

private:
    const QVariantMap m_keys;
    const QVariantMap m_defaults;
};

#pragma once

#include <QObject>

// How far the running download has come, as the view shows it: its size, the bytes in, and
// their fraction. Each is said only when it changed.
class DownloadProgress : public QObject
{
    Q_OBJECT

public:
    using QObject::QObject;

    qint64 size() const { return m_size; }
    qint64 current() const { return m_current; }
    float fraction() const { return m_fraction; }

    void report(qint64 received, qint64 total);
    // The attempt ended: the bar starts empty for the next one.
    void clearFraction();

signals:
    void sizeChanged(qint64 size);
    void currentChanged(qint64 current);
    void fractionChanged(float fraction);

private:
    qint64 m_size = 0;
    qint64 m_current = 0;
    float m_fraction = 0.0f;
};

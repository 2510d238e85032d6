#include "builds/downloadprogress.h"

void DownloadProgress::report(qint64 received, qint64 total)
{
    if (total != m_size) {
        m_size = total;
        emit sizeChanged(total);
    }
    if (received != m_current) {
        m_current = received;
        emit currentChanged(received);
    }
    if (received != 0 && total != 0) {
        const float fraction = float(static_cast<long double>(received) / total);
        if (fraction != m_fraction) {
            m_fraction = fraction;
            emit fractionChanged(fraction);
        }
    }
}

void DownloadProgress::clearFraction()
{
    m_fraction = 0.0f;
    emit fractionChanged(0.0f);
}

#include "shell/windowplacement.h"

QPoint WindowPlacement::startupPosition(std::optional<QPoint> saved, QSize window, QSize desktop,
                                        QRect workArea)
{
    // Only the desktop's size enters the centring, not its origin.
    QPoint p = saved.value_or(QPoint(desktop.width() / 2 - window.width() / 2,
                                     desktop.height() / 2 - window.height() / 2));

    const int right = workArea.x() + workArea.width();
    const int bottom = workArea.y() + workArea.height();

    if (p.x() + window.width() > right)
        p.setX(right - window.width());
    if (p.x() < workArea.x())
        p.setX(workArea.x());

    if (p.y() + window.height() > bottom)
        p.setY(bottom - window.height());
    if (p.y() < workArea.y())
        p.setY(workArea.y() + 25);

    return p;
}

bool WindowPlacement::positionKnown(const QString &platformName)
{
    return !platformName.startsWith(QLatin1String("wayland"));
}

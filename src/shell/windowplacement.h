#pragma once

#include <QPoint>
#include <QRect>
#include <QSize>
#include <QString>

#include <optional>

namespace WindowPlacement {

// Where the window goes at a normal start: the saved position, or the centre of the whole
// desktop, pulled back inside the work area. Right and bottom edges are corrected first,
// so a window larger than the work area ends at the left edge; a window above the work
// area lands 25 pixels below its top.
QPoint startupPosition(std::optional<QPoint> saved, QSize window, QSize desktop, QRect workArea);

// Whether windows on the Qt platform of that name learn where they are. Wayland clients never
// do: what they read is (0, 0), which is no position to keep.
bool positionKnown(const QString &platformName);

} // namespace WindowPlacement

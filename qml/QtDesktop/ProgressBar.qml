import QtQuick
import QtQuick.Controls.Fusion as C

// `value` runs from 0 to 1; `progressColor` paints the filled part.
C.ProgressBar {
    property color progressColor: palette.highlight

    from: 0
    to: 1
    palette.highlight: progressColor
}

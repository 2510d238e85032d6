import QtQuick
import QtQuick.Controls.Fusion as C

// Text in pixels, like the fixed-size window it sits in.
C.Button {
    font.pixelSize: 11
}

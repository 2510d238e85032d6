import QtQuick
import QtQuick.Controls.Fusion as C

// A one-line text field, as compact as the spin box beside it would be.
C.TextField {
    font.pixelSize: 11
    implicitHeight: 22
    // The hint is read as easily as what is typed.
    placeholderTextColor: palette.text
}

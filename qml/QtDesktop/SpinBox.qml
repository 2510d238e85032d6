import QtQuick
import QtQuick.Controls.Fusion as C

// A compact, editable number field; `from` and `to` bound `value`.
C.SpinBox {
    editable: true
    font.pixelSize: 11
    implicitHeight: 22
}

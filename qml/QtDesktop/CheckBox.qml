import QtQuick
import QtQuick.Controls.Fusion as C

C.CheckBox {
    font.pixelSize: 11
    padding: 2
}

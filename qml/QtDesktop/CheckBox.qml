import QtQuick
import QtQuick.Controls.Fusion as C

C.CheckBox {
    font.pointSize: 8
    padding: 2
}

import QtQuick
import QtQuick.Controls.Fusion as C

C.Button {
    font.pointSize: 8
}

import QtQuick
import QtQuick.Controls.Fusion as C

// Rows of `model` offer their `text` role; the box shows `selectedText`, which its owner
// keeps in step with `selectedIndex`.
C.ComboBox {
    property alias selectedIndex: box.currentIndex
    property string selectedText

    id: box
    textRole: "text"
    displayText: selectedText
    font.pixelSize: 11
    implicitHeight: 22
}

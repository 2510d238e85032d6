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
    // Narrow boxes still show their whole text beside the arrow.
    font.pointSize: 7
    implicitHeight: 22
    leftPadding: 1
    rightPadding: 15
}

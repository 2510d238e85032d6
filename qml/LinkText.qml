import QtQuick

// A line that opens something, by mouse and keyboard alike.
Text {
    id: link
    signal activated()
    font.pixelSize: textPixels
    font.underline: true
    color: palette.link
    activeFocusOnTab: true
    Keys.onReturnPressed: activated()
    Keys.onEnterPressed: activated()
    Keys.onSpacePressed: activated()
    Accessible.role: Accessible.Link
    Accessible.onPressAction: activated()

    MouseArea {
        anchors.fill: parent
        cursorShape: Qt.PointingHandCursor
        onClicked: link.activated()
    }

    Rectangle {
        anchors.fill: parent
        anchors.margins: -2
        visible: link.activeFocus
        color: "transparent"
        border.color: palette.highlight
        radius: 2
    }
}

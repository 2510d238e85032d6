import QtQuick

Rectangle {
    id: window

    signal restore()

    function openWindow() {
        restore()
    }

    function openSettings() {
        restore()
    }

    width: 310
    height: 195
    color: systemPalette.window

    SystemPalette {
        id: systemPalette
    }
}

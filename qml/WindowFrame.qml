import QtQuick
import QtDesktop 0.1

// The window's visual root, made with the window in the program's scope: the program's
// objects and the root's properties are known here by their ids, as in the contents.
Rectangle {
    id: frame

    readonly property int margins: styleitem.style == "mac" ? 16 : 0

    width: 310 + 2 * margins
    height: 195 + 2 * margins
    // The desktop's colours, light or dark, as the controls use them.
    color: palette.window
    focus: true
    // Without a tray a hidden window could not be reached again: Escape then leaves it.
    Keys.onEscapePressed: if (window.trayAvailable) Window.window.hide()

    Loader {
        id: windowContent
        anchors.fill: parent
        anchors.margins: frame.margins
        active: window.contentWanted
        source: "WindowContent.qml"
        onItemChanged: window.content = item
    }

    // A proxy's question over the contents while it waits.
    Loader {
        id: proxyQuestion
        anchors.fill: parent
        anchors.margins: frame.margins
        active: window.contentWanted && window.proxyPrompt !== null && window.proxyPrompt.waiting
        source: "ProxyQuestion.qml"
    }

    StyleItem {
        id: styleitem
    }
}

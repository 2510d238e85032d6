import QtQuick
import QtQuick.Controls.Fusion as C

// Pages (Tab children, in order) in a frame with a bar of their titles, above the pages
// or, with position "South", below them.
Item {
    id: tabFrame

    property int current: 0
    property string position: "North"
    default property alias pages: pageArea.data
    readonly property bool south: position === "South"
    readonly property var tabs: {
        var found = []
        for (var i = 0; i < pageArea.children.length; ++i) {
            if (pageArea.children[i].title !== undefined)
                found.push(pageArea.children[i])
        }
        return found
    }

    function showCurrent() {
        for (var i = 0; i < tabs.length; ++i)
            tabs[i].visible = (i === current)
        bar.currentIndex = current
    }

    onCurrentChanged: showCurrent()
    onTabsChanged: showCurrent()

    // The desktop's colours, light or dark, set role by role for everything inside. Only
    // colours set explicitly reach the controls: a dark palette from the platform theme
    // (qt6ct, KDE's kdeglobals) would otherwise leave them in the style's own light colours.
    SystemPalette { id: desktop; colorGroup: SystemPalette.Active }
    SystemPalette { id: desktopDisabled; colorGroup: SystemPalette.Disabled }
    palette {
        window: desktop.window; windowText: desktop.windowText
        base: desktop.base; alternateBase: desktop.alternateBase; text: desktop.text
        button: desktop.button; buttonText: desktop.buttonText
        light: desktop.light; midlight: desktop.midlight; mid: desktop.mid
        dark: desktop.dark; shadow: desktop.shadow
        highlight: desktop.highlight; highlightedText: desktop.highlightedText
        placeholderText: desktop.placeholderText
        disabled {
            windowText: desktopDisabled.windowText; text: desktopDisabled.text
            buttonText: desktopDisabled.buttonText; button: desktopDisabled.button
            base: desktopDisabled.base
        }
    }

    C.Frame {
        id: frame
        padding: 0
        anchors.left: parent.left
        anchors.right: parent.right
        anchors.top: tabFrame.south ? parent.top : bar.bottom
        anchors.bottom: tabFrame.south ? bar.top : parent.bottom
        anchors.topMargin: tabFrame.south ? 0 : -1
        anchors.bottomMargin: tabFrame.south ? -1 : 0

        Item {
            id: pageArea
            anchors.fill: parent
            clip: true
        }
    }

    C.TabBar {
        id: bar
        y: tabFrame.south ? tabFrame.height - height : 0
        width: implicitWidth
        position: tabFrame.south ? C.TabBar.Footer : C.TabBar.Header
        onCurrentIndexChanged: tabFrame.current = currentIndex

        Repeater {
            model: tabFrame.tabs
            C.TabButton {
                text: modelData.title
                width: implicitWidth
                font.pixelSize: 11
                Accessible.name: text
            }
        }
    }
}

import QtQuick
import QtDesktop 0.1
import Tarrowin 1.0

// The builds tab: the installed builds and what can be done with them; the bisect's form,
// step or result (BisectPanel.qml) takes the list's place while it is under way.
Tab {
    id: buildsTab
    title: qsTr("Builds")

    // The bisect's form, step or result takes the list's place while it is under way.
    property alias bisectFormOpen: bisectColumn.formOpen
    readonly property bool bisectShown: bisectColumn.shown

    // A build kept from the bisect is in the list once the bisect's end is through.
    Connections {
        target: bisectActions
        function onEnded() { buildActions.refresh() }
    }

    Column {
        id: buildsColumn
        visible: !buildsTab.bisectShown

        // The row chosen in the list; the actions act on its build.
        readonly property var selected: buildList.currentItem
        readonly property int selectedBuild: selected ? selected.number : -1

        x: 10
        y: 6
        width: parent.width - 20
        spacing: 4
        Component.onCompleted: buildActions.refresh()

        Rectangle {
            width: parent.width
            height: 2 * 28 + 6
            color: palette.base
            border.color: buildList.activeFocus ? palette.highlight : palette.mid

            ListView {
                id: buildList
                anchors.fill: parent
                anchors.margins: 2
                clip: true
                model: buildActions.builds
                activeFocusOnTab: true
                keyNavigationEnabled: true
                highlightMoveDuration: 0
                // A fresh list has a row chosen, so the actions have a build to act on.
                onCountChanged: if (count > 0 && (currentIndex < 0 || currentIndex >= count)) currentIndex = 0
                Accessible.role: Accessible.List
                Accessible.name: qsTr("Installed builds")

                delegate: Text {
                    id: buildRow

                    required property int index
                    required property int number
                    required property string version
                    required property date installed
                    required property double size
                    required property bool current
                    required property bool pinned
                    required property bool running

                    width: ListView.view.width
                    height: 28
                    leftPadding: 2
                    elide: Text.ElideRight
                    // The browser's own words: never read as markup.
                    textFormat: Text.PlainText
                    font.pixelSize: textPixels
                    color: ListView.isCurrentItem ? palette.highlightedText : palette.text
                    text: buildActions.describe(number, version, installed, size, current, pinned, running)
                    Accessible.role: Accessible.ListItem
                    Accessible.name: text

                    Rectangle {
                        anchors.fill: parent
                        z: -1
                        visible: buildRow.ListView.isCurrentItem
                        color: palette.highlight
                    }

                    MouseArea {
                        anchors.fill: parent
                        onClicked: { buildList.currentIndex = buildRow.index; buildList.forceActiveFocus() }
                    }
                }
            }
        }

        Row {
            spacing: 4

            Button {
                id: startBuildButton
                // Narrow as its words, so that four fit in a row.
                leftPadding: 6
                rightPadding: 6
                implicitWidth: implicitContentWidth + leftPadding + rightPadding
                text: qsTr("Start")
                Accessible.name: text
                enabled: buildsColumn.selectedBuild !== -1
                onClicked: buildActions.start(buildsColumn.selectedBuild)
            }

            Button {
                id: makeCurrentButton
                // Narrow as its words, so that four fit in a row.
                leftPadding: 6
                rightPadding: 6
                implicitWidth: implicitContentWidth + leftPadding + rightPadding
                text: qsTr("Make current")
                Accessible.name: text
                enabled: buildsColumn.selectedBuild !== -1
                onClicked: buildActions.makeCurrent(buildsColumn.selectedBuild)
            }

            Button {
                id: pinBuildButton
                // Narrow as its words, so that four fit in a row.
                leftPadding: 6
                rightPadding: 6
                implicitWidth: implicitContentWidth + leftPadding + rightPadding
                readonly property bool pinned: buildsColumn.selected !== null && buildsColumn.selected.pinned
                text: pinned ? qsTr("Unpin") : qsTr("Pin")
                Accessible.name: text
                enabled: buildsColumn.selectedBuild !== -1
                onClicked: buildActions.setPinned(buildsColumn.selectedBuild, !pinned)
            }

            Button {
                id: removeBuildButton
                // Narrow as its words, so that four fit in a row.
                leftPadding: 6
                rightPadding: 6
                implicitWidth: implicitContentWidth + leftPadding + rightPadding
                text: qsTr("Remove")
                Accessible.name: text
                enabled: buildsColumn.selectedBuild !== -1
                onClicked: buildActions.remove(buildsColumn.selectedBuild)
            }
        }

        Row {
            spacing: 4

            TextField {
                id: buildQueryField
                width: buildsColumn.width - installBuildButton.width - 4
                placeholderText: qsTr("Number, version, M131 or date")
                enabled: !buildActions.installing
                Accessible.name: qsTr("Build to install")
                onAccepted: buildActions.install(text)
            }

            Button {
                id: installBuildButton
                // Narrow as its words, so that four fit in a row.
                leftPadding: 6
                rightPadding: 6
                implicitWidth: implicitContentWidth + leftPadding + rightPadding
                text: qsTr("Install build…")
                Accessible.name: qsTr("Install build")
                enabled: !buildActions.installing
                onClicked: buildActions.install(buildQueryField.text)
            }
        }

        Text {
            id: buildsMessageText
            width: parent.width
            visible: text !== ""
            wrapMode: Text.Wrap
            // Two lines hold the longest refusal; a longer line ends in "…".
            maximumLineCount: 2
            elide: Text.ElideRight
            textFormat: Text.PlainText
            font.pixelSize: textPixels
            color: palette.windowText
            // What the bisect said last at its end: a build kept, or why it was not.
            text: buildActions.message !== "" || bisectActions.state !== BisectActions.Idle
                  ? buildActions.message : bisectActions.line
            Accessible.name: text
        }

        LinkText {
            id: findBrokenBuildLink
            text: qsTr("Find the build that broke it…")
            Accessible.name: qsTr("Find the build that broke it")
            onActivated: bisectColumn.open()
        }
    }

    BisectPanel {
        id: bisectColumn
    }
}

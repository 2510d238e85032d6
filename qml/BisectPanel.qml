import QtQuick
import QtDesktop 0.1
import Tarrowin 1.0

// The bisect's form, its step under way and its result, all in one column.
Column {
    id: bisectColumn

    readonly property int state: bisectActions.state
    // Whether the form is asked for; a bisect under way shows without it.
    property bool formOpen: false
    readonly property bool shown: formOpen || state !== BisectActions.Idle

    // The form, filled with the usual range, and the keyboard in its first field.
    function open() {
        bisectGoodField.text = bisectActions.defaultGood()
        bisectBadField.text = bisectActions.defaultBad()
        formOpen = true
        bisectGoodField.forceActiveFocus()
    }

    x: 10
    y: 6
    width: parent.width - 20
    spacing: 4
    visible: shown

    Row {
        spacing: 4
        visible: bisectColumn.state === BisectActions.Idle

        Text {
            id: bisectGoodLabel
            anchors.verticalCenter: parent.verticalCenter
            text: qsTr("Good:")
            font.pixelSize: textPixels
            color: palette.windowText
        }

        TextField {
            id: bisectGoodField
            width: (bisectColumn.width - bisectGoodLabel.width - bisectBadLabel.width - 12) / 2
            placeholderText: qsTr("Good build")
            Accessible.name: qsTr("Good build")
        }

        Text {
            id: bisectBadLabel
            anchors.verticalCenter: parent.verticalCenter
            text: qsTr("Bad:")
            font.pixelSize: textPixels
            color: palette.windowText
        }

        TextField {
            id: bisectBadField
            width: bisectGoodField.width
            placeholderText: qsTr("Bad build")
            Accessible.name: qsTr("Bad build")
            onAccepted: bisectStartButton.clicked()
        }
    }

    CheckBox {
        id: bisectCopyProfileBox
        visible: bisectColumn.state === BisectActions.Idle
        text: qsTr("Test on a copy of my profile")
        Accessible.name: text
    }

    Text {
        id: bisectLineText
        width: parent.width
        visible: text !== "" && bisectColumn.state !== BisectActions.Idle
        wrapMode: Text.Wrap
        maximumLineCount: 3
        elide: Text.ElideRight
        textFormat: Text.PlainText
        font.pixelSize: textPixels
        color: palette.windowText
        text: bisectActions.line
        Accessible.name: text
    }

    LinkText {
        id: changeLogLink
        visible: bisectColumn.state === BisectActions.Found
        text: qsTr("Change log")
        Accessible.name: text
        onActivated: Qt.openUrlExternally(bisectActions.changeLog)
    }

    Row {
        spacing: 4

        NarrowButton {
            id: bisectStartButton
            visible: bisectColumn.state === BisectActions.Idle
            text: qsTr("Start")
            onClicked: bisectActions.start(bisectGoodField.text, bisectBadField.text, bisectCopyProfileBox.checked)
        }

        NarrowButton {
            id: bisectCancelButton
            visible: bisectColumn.state === BisectActions.Idle
            text: qsTr("Cancel")
            onClicked: bisectColumn.formOpen = false
        }

        NarrowButton {
            id: bisectGoodButton
            visible: bisectColumn.state === BisectActions.Testing || bisectColumn.state === BisectActions.Fetching
            enabled: bisectColumn.state === BisectActions.Testing
            text: qsTr("Good")
            onClicked: bisectActions.judge(BisectRange.Good)
        }

        NarrowButton {
            id: bisectBadButton
            visible: bisectGoodButton.visible
            enabled: bisectGoodButton.enabled
            text: qsTr("Bad")
            onClicked: bisectActions.judge(BisectRange.Bad)
        }

        NarrowButton {
            id: bisectSkipButton
            visible: bisectGoodButton.visible
            enabled: bisectGoodButton.enabled
            text: qsTr("Skip")
            onClicked: bisectActions.judge(BisectRange.Skip)
        }

        NarrowButton {
            id: bisectGoOnButton
            visible: bisectColumn.state === BisectActions.Resumable
            text: qsTr("Go on")
            onClicked: bisectActions.resume()
        }

        NarrowButton {
            id: bisectKeepButton
            visible: bisectColumn.state === BisectActions.Found
            text: qsTr("Keep build %1").arg(bisectActions.firstBad)
            onClicked: { bisectActions.stop(true); bisectColumn.formOpen = false }
        }

        NarrowButton {
            id: bisectStopButton
            visible: bisectColumn.state !== BisectActions.Idle && bisectColumn.state !== BisectActions.Failed
            text: bisectColumn.state === BisectActions.Found ? qsTr("Done") : qsTr("Stop")
            onClicked: { bisectActions.stop(false); bisectColumn.formOpen = false }
        }

        NarrowButton {
            id: bisectCloseButton
            visible: bisectColumn.state === BisectActions.Failed
            text: qsTr("Close")
            onClicked: bisectActions.dismiss()
        }
    }
}

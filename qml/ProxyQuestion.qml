import QtQuick
import QtDesktop 0.1
import Tarrowin 1.0

// A proxy's question for its user and password, over the window while it is open. What is
// asked, and what the answer does, is decided by the program (ProxyPrompt).
Rectangle {
    id: proxyQuestion

    function accept() {
        proxyPrompt.answer(proxyUserField.text, proxyPasswordField.text, rememberSetting.checked)
        proxyPasswordField.text = ""
    }

    color: palette.window
    // Nothing beneath is reached while the question is open.
    MouseArea { anchors.fill: parent }
    Component.onCompleted: proxyUserField.forceActiveFocus()

    Column {
        x: 10
        y: 8
        width: parent.width - 20
        spacing: 5

        Text {
            id: proxyQuestionText
            width: parent.width
            wrapMode: Text.Wrap
            textFormat: Text.PlainText
            font.pixelSize: textPixels
            color: palette.windowText
            text: proxyPrompt.question
            Accessible.role: Accessible.StaticText
            Accessible.name: text
        }

        TextField {
            id: proxyUserField
            width: parent.width
            placeholderText: qsTr("User")
            Accessible.name: qsTr("Proxy user")
            onAccepted: proxyPasswordField.forceActiveFocus()
        }

        TextField {
            id: proxyPasswordField
            width: parent.width
            placeholderText: qsTr("Password")
            echoMode: TextInput.Password
            Accessible.name: qsTr("Proxy password")
            onAccepted: proxyQuestion.accept()
        }

        CheckBox {
            id: rememberSetting
            text: qsTr("Remember")
            // Kept in the keychain only when the person asks for it.
            checked: false
            Accessible.name: qsTr("Remember in the keychain")
        }

        Row {
            spacing: 4

            Button {
                id: proxyAnswerButton
                text: qsTr("OK")
                Accessible.name: text
                enabled: proxyUserField.text !== ""
                onClicked: proxyQuestion.accept()
            }

            Button {
                id: proxyDeclineButton
                text: qsTr("Cancel")
                Accessible.name: text
                onClicked: proxyPrompt.decline()
            }
        }
    }
}

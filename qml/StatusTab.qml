import QtQuick
import QtDesktop 0.1
import Tarrowin 1.0

// The status tab: the installed and the newest build, the status, and a download under way.
Tab {
    id: statusTab
    title: "Tarrowin"

    Column {
        id: mainWindowColumn
        x: 10
        y: 6
        width: parent.width - 20
        spacing: 5

        Row {
            id: titleBar
            spacing: 10

            Image {
                anchors.verticalCenter: parent.verticalCenter
                source: "qrc:/images/icons/icon.png"
                sourceSize.width: 52
                width: 52
                height: 52
                Accessible.ignored: true
            }

            Column {
                anchors.verticalCenter: parent.verticalCenter

                Text {
                    id: appName
                    text: "Tarrowin"
                    font.pixelSize: 24
                    color: palette.windowText
                    Accessible.role: Accessible.Heading
                }

                Text {
                    id: credits

                    function open() {
                        Qt.openUrlExternally(window.siteAddress)
                    }

                    text: qsTr("A Quillmarsh utility\nLead developer: the Quillmarsh team")
                    font.pixelSize: textPixels
                    font.underline: true
                    color: palette.link
                    activeFocusOnTab: true
                    Keys.onReturnPressed: open()
                    Keys.onEnterPressed: open()
                    Keys.onSpacePressed: open()
                    Accessible.role: Accessible.Link
                    Accessible.name: text.replace("\n", ", ")
                    Accessible.onPressAction: open()

                    MouseArea {
                        anchors.fill: parent
                        cursorShape: Qt.PointingHandCursor
                        onClicked: credits.open()
                    }

                    Rectangle {
                        anchors.fill: parent
                        anchors.margins: -2
                        visible: credits.activeFocus
                        color: "transparent"
                        border.color: palette.highlight
                        radius: 2
                    }
                }
            }
        }

        Rectangle {
            id: rule
            width: parent.width
            height: 1
            color: palette.mid
        }

        Item {
            id: bottomPanel
            width: parent.width
            height: Math.max(idleBottomPanel.height, downloadingBottomPanel.height)

            Column {
                id: idleBottomPanel
                spacing: 3
                width: parent.width
                opacity: 1
                // Out of the way of clicks, Tab and screen readers once faded out.
                visible: opacity > 0

                Item {
                    width: parent.width
                    height: Math.max(currentVersionText.height, checkForUpdatesButton.height)

                    Text {
                        id: currentVersionText

                        readonly property string value: chromeDownloader.currentBuild === -1
                                                        ? qsTr("Unknown")
                                                        : chromeDownloader.currentBuild

                        anchors.left: parent.left
                        anchors.right: checkForUpdatesButton.left
                        // "Current version: Unknown" fits on one line beside the button.
                        anchors.rightMargin: 4
                        anchors.verticalCenter: parent.verticalCenter
                        wrapMode: Text.Wrap
                        textFormat: Text.StyledText
                        font.pixelSize: textPixels
                        color: palette.windowText
                        text: labelled(qsTr("Current version:"), value)
                        Accessible.name: qsTr("Current version:") + " " + value
                    }

                    Button {
                        id: checkForUpdatesButton
                        anchors.right: parent.right
                        anchors.verticalCenter: parent.verticalCenter
                        text: qsTr("Check for a new build")
                        Accessible.name: text
                        onClicked: updateLoop.checkNow()
                    }
                }

                Text {
                    id: installedVersionText
                    width: parent.width
                    visible: text !== ""
                    // The browser's own words: never read as markup.
                    textFormat: Text.PlainText
                    elide: Text.ElideRight
                    font.pixelSize: textPixels
                    color: palette.windowText
                    text: chromeDownloader.currentVersion
                }

                Text {
                    id: latestVersionText

                    readonly property string value: !versionChecker.platformSupported
                                                    ? qsTr("No Chromium builds for this platform")
                                                    : versionChecker.checking
                                                      ? qsTr("Checking ...")
                                                      : versionChecker.latestBuild === -1
                                                        ? qsTr("Unknown")
                                                        : versionChecker.latestBuild

                    width: parent.width
                    wrapMode: Text.Wrap
                    textFormat: Text.StyledText
                    font.pixelSize: textPixels
                    color: palette.windowText
                    text: labelled(qsTr("Latest version:"), value)
                    Accessible.name: qsTr("Latest version:") + " " + value
                }

                Text {
                    id: idleStatusText
                    width: parent.width
                    wrapMode: Text.Wrap
                    // An error longer than any the program knows of ends in "…"
                    // rather than leave the window; the whole of it is in the log.
                    maximumLineCount: 3
                    elide: Text.ElideRight
                    textFormat: Text.StyledText
                    font.pixelSize: textPixels
                    color: palette.windowText
                    text: labelled(qsTr("Status:"), updateNotifier.statusLine)
                    Accessible.name: qsTr("Status:") + " " + updateNotifier.statusLine
                }

                Text {
                    id: nextCheckText

                    readonly property string value: updateWords.nextCheck(updateLoop.nextCheck)

                    width: parent.width
                    visible: value !== ""
                    elide: Text.ElideRight
                    textFormat: Text.StyledText
                    font.pixelSize: textPixels
                    color: palette.windowText
                    text: labelled(qsTr("Next check:"), value)
                    Accessible.name: qsTr("Next check:") + " " + value
                }
            }

            Column {
                id: downloadingBottomPanel
                spacing: 8
                width: parent.width
                opacity: 0
                visible: opacity > 0

                // Side by side while they fit, one below the other when not.
                Flow {
                    width: parent.width
                    spacing: 10

                    Text {
                        id: fileSizeText

                        readonly property string value: calculateFileSize(chromeDownloader.downloadSize)
                                                        + " (" + percentage(chromeDownloader.downloadProgress) + "%)"

                        width: Math.min(implicitWidth, parent.width)
                        wrapMode: Text.Wrap
                        textFormat: Text.StyledText
                        font.pixelSize: textPixels
                        color: palette.windowText
                        text: labelled(qsTr("File size:"), value)
                        Accessible.name: qsTr("File size:") + " " + value
                    }

                    Text {
                        id: downloadStatusText
                        width: Math.min(implicitWidth, parent.width)
                        wrapMode: Text.Wrap
                        maximumLineCount: 3
                        elide: Text.ElideRight
                        textFormat: Text.StyledText
                        font.pixelSize: textPixels
                        color: palette.windowText
                        text: labelled(qsTr("Status:"), updateNotifier.statusLine)
                        Accessible.name: qsTr("Status:") + " " + updateNotifier.statusLine
                    }
                }

                ProgressBar {
                    id: downloadProgressBar
                    width: parent.width
                    height: 10
                    value: chromeDownloader.downloadProgress
                    progressColor: "orange"
                    // Animated stripes while installing, only while someone can see
                    // them: a hidden window would otherwise wake many times a second
                    // for the whole installation.
                    indeterminate: chromeDownloader.status === ChromeDownloader.InstallingStatus
                                   && shown
                    Accessible.name: qsTr("Download progress")
                }
            }

            states: State {
                name: "active"
                when: chromeDownloader.status !== ChromeDownloader.IdleStatus
                PropertyChanges { target: idleBottomPanel; opacity: 0 }
                PropertyChanges { target: downloadingBottomPanel; opacity: 1 }
            }

            transitions: Transition {
                // A hidden window changes over at once.
                enabled: shown
                NumberAnimation {
                    properties: "opacity"
                    duration: 1000
                    easing.type: Easing.OutQuint
                }
            }
        }
    }
}

import QtQuick
import QtDesktop 0.1
import Tarrowin 1.0

// What the window shows: its tabs and their controls. The view makes it when the window is
// first shown and lets it go again after a while hidden; the program's own objects, which
// it reads and drives, live on in the view while it does not exist.
TabFrame {
    id: tabFrame

    // Made on the tab the request to show the window asked for.
    current: currentTab
    position: "South"

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

    Tab {
        id: settingsTab
        title: qsTr("Settings")

        Column {
            id: settingsColumn
            x: 10
            y: 6
            width: parent.width - 20
            spacing: 5

            Column {
                width: parent.width
                spacing: 4

                Text {
                    id: updateIntervalText
                    width: parent.width
                    wrapMode: Text.Wrap
                    text: qsTr("Check for Chromium builds every")
                    font.pixelSize: textPixels
                    color: palette.windowText
                }

                Row {
                    spacing: 5

                    SpinBox {
                        id: updateIntervalSetting

                        // The stored count (the default for no number) within the bounds,
                        // which a longer time frame may narrow for the timer.
                        function shownCount() {
                            const key = settings.keys.UpdateCheckInterval
                            const count = parseInt(stored(key))
                            return Math.min(Math.max(isNaN(count) ? settings.defaults[key] : count, from), to)
                        }

                        // Room for the largest count, 35791 minutes.
                        width: 84
                        from: 1
                        to: updateLoop.largestCount(updateFactorSetting.selectedIndex)
                        value: shownCount()
                        Accessible.name: updateIntervalText.text
                        // Showing a value is no change: a count kept within the bounds
                        // must not land in the user's file in place of the stored one.
                        onValueChanged: if (value !== shownCount()) store(settings.keys.UpdateCheckInterval, value)
                    }

                    ComboBox {
                        id: updateFactorSetting
                        width: 84
                        model: timeframesModel
                        selectedIndex: updateLoop.timeFrameIndex(
                                           settings.value(settings.keys.UpdateCheckFactor),
                                           timeframesModel.count)
                        Accessible.name: qsTr("Time frame")
                        Component.onCompleted: selectedText = timeframesModel.get(selectedIndex).text
                        onSelectedIndexChanged: {
                            if (selectedIndex < 0)
                                return
                            // An unknown stored time frame shows as minutes, unwritten.
                            if (selectedIndex !== updateLoop.timeFrameIndex(
                                        settings.value(settings.keys.UpdateCheckFactor),
                                        timeframesModel.count))
                                store(settings.keys.UpdateCheckFactor, selectedIndex)
                            selectedText = timeframesModel.get(selectedIndex).text
                        }
                    }
                }
            }

            // Side by side, so the metered check box fits under them.
            Row {
                spacing: 12

                CheckBox {
                    id: runOnStartupSetting
                    text: qsTr("Run on startup")
                    Accessible.name: text
                    checked: stored(settings.keys.RunOnStartup) === "true"
                    // Only a real change registers or unregisters: loading the stored state does not.
                    onCheckedChanged: {
                        if ((stored(settings.keys.RunOnStartup) === "true") !== checked)
                            systemTrayIcon.runOnStartup(checked)
                    }
                }

                CheckBox {
                    id: showNotificationsSetting
                    text: qsTr("Show notifications")
                    Accessible.name: text
                    checked: stored(settings.keys.ShowNotifications) === "true"
                    onCheckedChanged: store(settings.keys.ShowNotifications, checked)
                }
            }

            CheckBox {
                id: downloadOnMeteredSetting
                text: qsTr("Download on metered connections")
                Accessible.name: text
                checked: stored(settings.keys.DownloadOnMetered) === "true"
                onCheckedChanged: store(settings.keys.DownloadOnMetered, checked)
            }

            CheckBox {
                id: downloadOnBatterySetting
                text: qsTr("Download on battery")
                Accessible.name: text
                checked: stored(settings.keys.DownloadOnBattery) === "true"
                onCheckedChanged: store(settings.keys.DownloadOnBattery, checked)
            }

            Frame {
                id: updateFrame
                width: parent.width
                height: updateContent.height + 12
                visible: systemTrayIcon.updateAvailable

                Column {
                    id: updateContent
                    x: 6
                    y: 6
                    width: updateFrame.width - 12
                    spacing: 6

                    Text {
                        id: updateNoticeText
                        width: parent.width
                        wrapMode: Text.Wrap
                        horizontalAlignment: Text.AlignHCenter
                        text: qsTr("There is a new version of Tarrowin available.")
                        font.pixelSize: textPixels
                        color: palette.windowText
                    }

                    Button {
                        id: downloadUpdateButton
                        text: qsTr("Download Update")
                        Accessible.name: text
                        anchors.horizontalCenter: parent.horizontalCenter
                        onClicked: Qt.openUrlExternally(window.updateAddress)
                    }
                }
            }
        }
    }

    Tab {
        id: buildsTab
        title: qsTr("Builds")

        // The bisect's form, step or result takes the list's place while it is under way.
        property bool bisectFormOpen: false
        readonly property bool bisectShown: bisectFormOpen || bisectActions.state !== BisectActions.Idle

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
                onActivated: {
                    bisectGoodField.text = bisectActions.defaultGood()
                    bisectBadField.text = bisectActions.defaultBad()
                    buildsTab.bisectFormOpen = true
                    bisectGoodField.forceActiveFocus()
                }
            }
        }

        Column {
            id: bisectColumn

            readonly property int state: bisectActions.state

            x: 10
            y: 6
            width: parent.width - 20
            spacing: 4
            visible: buildsTab.bisectShown

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
                    onClicked: buildsTab.bisectFormOpen = false
                }

                NarrowButton {
                    id: bisectGoodButton
                    visible: bisectColumn.state === BisectActions.Testing || bisectColumn.state === BisectActions.Fetching
                    enabled: bisectColumn.state === BisectActions.Testing
                    text: qsTr("Good")
                    onClicked: bisectActions.judge(0)
                }

                NarrowButton {
                    id: bisectBadButton
                    visible: bisectGoodButton.visible
                    enabled: bisectGoodButton.enabled
                    text: qsTr("Bad")
                    onClicked: bisectActions.judge(1)
                }

                NarrowButton {
                    id: bisectSkipButton
                    visible: bisectGoodButton.visible
                    enabled: bisectGoodButton.enabled
                    text: qsTr("Skip")
                    onClicked: bisectActions.judge(2)
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
                    onClicked: { bisectActions.stop(true); buildsTab.bisectFormOpen = false; buildActions.refresh() }
                }

                NarrowButton {
                    id: bisectStopButton
                    visible: bisectColumn.state !== BisectActions.Idle && bisectColumn.state !== BisectActions.Failed
                    text: bisectColumn.state === BisectActions.Found ? qsTr("Done") : qsTr("Stop")
                    onClicked: { bisectActions.stop(false); buildsTab.bisectFormOpen = false }
                }

                NarrowButton {
                    id: bisectCloseButton
                    visible: bisectColumn.state === BisectActions.Failed
                    text: qsTr("Close")
                    onClicked: bisectActions.dismiss()
                }
            }
        }
    }

    // A button narrow as its words, so that four fit in a row.
    component NarrowButton: Button {
        leftPadding: 6
        rightPadding: 6
        implicitWidth: implicitContentWidth + leftPadding + rightPadding
        Accessible.name: text
    }

    // A line that opens something, by mouse and keyboard alike.
    component LinkText: Text {
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
}

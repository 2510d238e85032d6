import QtQuick
import QtDesktop 0.1
import Tarrowin 1.0

Rectangle {
    id: window

    // Pages of the maker's site, handed in by the program.
    property url siteAddress
    property url updateAddress

    // The build asked of the downloader last, for balloons and the exit notice.
    property int requestedBuild: -1
    // Set while Exit waits for an installation to finish.
    property bool exiting: false
    // How long Exit waits for an installation before quitting anyway.
    property int exitWaitLimit: 600000
    // Checks completed since the last failed attempt, for the retry back-off.
    property int checksSinceFailure: 0
    // The next completed check was asked for by the user, who is not kept waiting.
    property bool userAskedForCheck: false
    property bool sandboxWarned: false

    signal restore()

    // Whether the desktop has a tray for the icon; the window host keeps it up to date.
    property bool trayAvailable: true

    // A click on the tray icon: the window comes up on the status tab, or goes away.
    function toggleWindow() {
        if (Window.window && Window.window.visible)
            Window.window.hide()
        else
            openWindow()
    }

    function openWindow() {
        tabFrame.current = 0
        restore()
    }

    function openSettings() {
        tabFrame.current = 1
        restore()
    }

    // The one way out: the tray's Exit, and a request to end from the session or a signal.
    // An installation under way is let finish, for at most exitWaitLimit; asking again
    // quits at once.
    function exitProgram() {
        if (exiting || chromeDownloader.status !== ChromeDownloader.InstallingStatus) {
            Qt.quit()
            return
        }
        exiting = true
        exitLimit.start()
        openWindow()
    }

    function notificationsOn() {
        return String(settings.value("ShowNotifications", "true")) === "true"
    }

    function storedNumber(key, fallback) {
        var number = parseInt(settings.value(key, fallback), 10)
        return isNaN(number) ? fallback : number
    }

    // Checks to let pass before a build that failed `attempts` times is tried again:
    // 1, 2, 4 ... check intervals, never more than a day.
    function retryAfterChecks(attempts, interval) {
        var day = Math.max(1, Math.ceil(86400000 / interval))
        return Math.min(Math.pow(2, Math.max(0, attempts - 1)), day)
    }

    // Whether the latest build is to be fetched now. A build the user went back from is not
    // fetched again (a newer one is), and a build that failed waits out its back-off unless
    // the user asked.
    function shouldDownload(latest, userAsked) {
        if (latest <= chromeDownloader.currentBuild)
            return false
        if (latest <= storedNumber("SkippedBuild", -1))
            return false
        if (latest !== storedNumber("FailedBuild", -1) || userAsked)
            return true
        return checksSinceFailure >= retryAfterChecks(storedNumber("FailedAttempts", 1),
                                                      checkForUpdatesTimer.interval)
    }

    function checkCompleted(latest) {
        var userAsked = userAskedForCheck
        userAskedForCheck = false
        checksSinceFailure++
        if (!shouldDownload(latest, userAsked))
            return
        checksSinceFailure = 0
        requestedBuild = latest
        chromeDownloader.downloadVersion(latest)
    }

    function installationFailed(build, error) {
        var repeated = storedNumber("FailedBuild", -1) === build
        settings.setValue("FailedBuild", build)
        settings.setValue("FailedAttempts", repeated ? storedNumber("FailedAttempts", 0) + 1 : 1)
        checksSinceFailure = 0
        // Once per failed build: a retry that fails the same way says nothing new.
        if (!repeated && notificationsOn())
            systemTrayIcon.showMessage(error, qsTr("Chromium build %1 was not installed").arg(build),
                                       SystemTrayIcon.WarningMessage, 10000)
    }

    // What the status line says: the exit notice, the last failure, or the status.
    function statusLine() {
        if (exiting)
            return qsTr("Finishing the installation of build %1 \u2026").arg(requestedBuild)
        if (chromeDownloader.status === ChromeDownloader.IdleStatus && chromeDownloader.lastError !== "")
            return chromeDownloader.lastError
        return statusText(chromeDownloader.status)
    }

    function trayMenu(previousBuild) {
        var entries = [
            { "name": "restore", "label": qsTr("&Open"), "default": true },
            { "name": "settings", "label": qsTr("&Settings") }
        ]
        if (previousBuild !== -1)
            entries.push({ "name": "goback", "label": qsTr("Go back to build %1").arg(previousBuild) })
        entries.push({ "name": "separator" })
        entries.push({ "name": "quit", "label": qsTr("&Exit") })
        return entries
    }

    // Decimal megabytes with at most two decimals and no trailing zeros: "38.12 MB", "40 MB".
    function calculateFileSize(size) {
        if (size === 0)
            return qsTr("%1 MB").arg("0")
        return qsTr("%1 MB").arg(String(Math.round(size / 1000000 * 100) / 100))
    }

    function percentage(progress) {
        return Math.round(progress * 100)
    }

    function statusText(status) {
        if (status === ChromeDownloader.IdleStatus)
            return qsTr("Idle")
        if (status === ChromeDownloader.DownloadingStatus)
            return qsTr("Downloading")
        return qsTr("Installing")
    }

    function labelled(label, value) {
        return "<b>" + label + "</b> " + plainToStyled(value)
    }

    // The timer's interval is a signed 32-bit count of milliseconds.
    function largestCount(factor) {
        return Math.floor(2147483647 / factor)
    }

    function storedFactorIndex() {
        var index = parseInt(settings.value("UpdateCheckFactor", 0), 10)
        return (index >= 0 && index < timeframesModel.count) ? index : 0
    }

    // The window has a fixed size in pixels, so its text is sized in pixels too: a larger
    // font DPI setting alone would push text out of it. Displays that scale the whole
    // window scale the text with it.
    readonly property int textPixels: 11
    // Whether the window is on screen: nothing animates in a hidden window.
    readonly property bool shown: Window.window !== null && Window.window.visible

    // Escapes the value, which may come from a server or a file name, so it is shown as it
    // is and never read as markup.
    function plainToStyled(value) {
        return String(value).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
    }

    // Without a tray a hidden window could not be reached again: Escape then leaves it.
    function hideWindow() {
        if (Window.window && trayAvailable)
            Window.window.hide()
    }

    width: 310 + 2 * tabFrame.margins
    height: 195 + 2 * tabFrame.margins
    // The desktop's colours, light or dark, as the controls use them.
    color: palette.window
    focus: true
    Keys.onEscapePressed: hideWindow()

    TabFrame {
        id: tabFrame

        property int margins: styleitem.style == "mac" ? 16 : 0

        anchors.fill: parent
        anchors.margins: margins
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
                                anchors.rightMargin: 8
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
                                onClicked: {
                                    userAskedForCheck = true
                                    versionChecker.checkLatestBuild()
                                }
                            }
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
                            text: labelled(qsTr("Status:"), statusLine())
                            Accessible.name: qsTr("Status:") + " " + statusLine()
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
                                text: labelled(qsTr("Status:"), statusLine())
                                Accessible.name: qsTr("Status:") + " " + statusLine()
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
                            // Room for the largest count, 35791 minutes.
                            width: 84
                            from: 1
                            to: largestCount(timeframesModel.get(updateFactorSetting.selectedIndex).factor)
                            value: settings.value("UpdateCheckInterval", 5)
                            Accessible.name: updateIntervalText.text
                            // A longer time frame may leave the count too large for the timer.
                            onToChanged: {
                                if (value > to)
                                    value = to
                            }
                            onValueChanged: {
                                if (String(settings.value("UpdateCheckInterval", 5)) !== String(value))
                                    settings.setValue("UpdateCheckInterval", value)
                            }
                        }

                        ComboBox {
                            id: updateFactorSetting
                            width: 84
                            model: timeframesModel
                            selectedIndex: storedFactorIndex()
                            Accessible.name: qsTr("Time frame")
                            Component.onCompleted: selectedText = timeframesModel.get(selectedIndex).text
                            onSelectedIndexChanged: {
                                if (selectedIndex < 0)
                                    return
                                if (String(settings.value("UpdateCheckFactor", 0)) !== String(selectedIndex))
                                    settings.setValue("UpdateCheckFactor", selectedIndex)
                                selectedText = timeframesModel.get(selectedIndex).text
                            }
                        }
                    }
                }

                CheckBox {
                    id: runOnStartupSetting
                    text: qsTr("Run on startup")
                    Accessible.name: text
                    checked: String(settings.value("RunOnStartup", "true")) === "true"
                    // Only a real change registers or unregisters: loading the stored state does not.
                    onCheckedChanged: {
                        if ((String(settings.value("RunOnStartup", "true")) === "true") !== checked)
                            systemTrayIcon.runOnStartup(checked)
                    }
                }

                CheckBox {
                    id: showNotificationsSetting
                    text: qsTr("Show notifications")
                    Accessible.name: text
                    checked: String(settings.value("ShowNotifications", "true")) === "true"
                    onCheckedChanged: {
                        if ((String(settings.value("ShowNotifications", "true")) === "true") !== checked)
                            settings.setValue("ShowNotifications", checked)
                    }
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
    }

    ListModel {
        id: timeframesModel
        ListElement { name: "minutes"; text: qsTr("minutes"); factor: 60000 }
        ListElement { name: "hours"; text: qsTr("hours"); factor: 3600000 }
        ListElement { name: "days"; text: qsTr("days"); factor: 86400000 }
    }

    VersionChecker {
        id: versionChecker
        // Every completed check reports; a newer build than the installed one is fetched.
        onLatestBuildChanged: checkCompleted(versionChecker.latestBuild)
    }

    Timer {
        id: checkForUpdatesTimer
        repeat: true
        running: true
        interval: updateIntervalSetting.value
                  * timeframesModel.get(updateFactorSetting.selectedIndex).factor
        onTriggered: versionChecker.checkLatestBuild()
    }

    Timer {
        id: exitLimit
        interval: exitWaitLimit
        onTriggered: Qt.quit()
    }

    ChromeDownloader {
        id: chromeDownloader
        onFailed: function(build, error) { installationFailed(build, error) }
        onCurrentBuildChanged: {
            settings.remove("FailedBuild")
            settings.remove("FailedAttempts")
        }
        onSandboxBlocked: {
            if (sandboxWarned || !notificationsOn())
                return
            sandboxWarned = true
            systemTrayIcon.showMessage(qsTr("Chromium's sandbox is blocked on this system"),
                                       qsTr("Chromium (snapshot)"), SystemTrayIcon.WarningMessage, 10000)
        }
        onStatusChanged: {
            if (exiting && chromeDownloader.status === ChromeDownloader.IdleStatus) {
                Qt.quit()
                return
            }
            // Read afresh each time: the check box may have changed it since.
            if (!notificationsOn())
                return
            var build = requestedBuild
            if (chromeDownloader.status === ChromeDownloader.DownloadingStatus)
                systemTrayIcon.showMessage(qsTr("Downloading Chromium build %1.").arg(build),
                                           qsTr("Downloading ..."), SystemTrayIcon.InfoMessage, 5000)
            else if (chromeDownloader.status === ChromeDownloader.InstallingStatus)
                systemTrayIcon.showMessage(qsTr("Installing Chromium build %1.").arg(build),
                                           qsTr("Installing ..."), SystemTrayIcon.InfoMessage, 5000)
        }
    }

    SystemTrayIcon {
        id: systemTrayIcon
        iconSource: ":/images/icons/icon.png"
        // Shown again when a tray appears, so the icon docks into it.
        visible: trayAvailable
        toolTip: qsTr("Tarrowin (Chromium build %1)").arg(chromeDownloader.currentBuild)
        menu: trayMenu(chromeDownloader.previousBuild)
        onTrayIconClicked: toggleWindow()
        onTrayIconDoubleClicked: systemTrayIcon.defaultMenuAction()
        onMenuItemClicked: function(itemName, checked) {
            if (itemName === "restore")
                openWindow()
            else if (itemName === "settings")
                openSettings()
            else if (itemName === "goback")
                chromeDownloader.goBack()
            else if (itemName === "quit")
                exitProgram()
        }
        onMessageClicked: function(updateReason) {
            if (updateReason)
                openSettings()
            else
                openWindow()
        }
    }

    Settings {
        id: settings
    }

    StyleItem {
        id: styleitem
    }
}

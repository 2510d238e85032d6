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
            systemTrayIcon.showMessage(error, "Chromium build " + build + " was not installed",
                                       SystemTrayIcon.WarningMessage, 10000)
    }

    // What the status line says: the exit notice, the last failure, or the status.
    function statusLine() {
        if (exiting)
            return "Finishing the installation of build " + requestedBuild + " \u2026"
        if (chromeDownloader.status === ChromeDownloader.IdleStatus && chromeDownloader.lastError !== "")
            return chromeDownloader.lastError
        return statusText(chromeDownloader.status)
    }

    function trayMenu(previousBuild) {
        var entries = [
            { "name": "restore", "label": "&Open", "default": true },
            { "name": "settings", "label": "&Settings" }
        ]
        if (previousBuild !== -1)
            entries.push({ "name": "goback", "label": "Go back to build " + previousBuild })
        entries.push({ "name": "separator" })
        entries.push({ "name": "quit", "label": "&Exit" })
        return entries
    }

    // Decimal megabytes with at most two decimals and no trailing zeros: "38.12 MB", "40 MB".
    function calculateFileSize(size) {
        if (size === 0)
            return "0 MB"
        return (Math.round(size / 1000000 * 100) / 100) + " MB"
    }

    function percentage(progress) {
        return Math.round(progress * 100)
    }

    function statusText(status) {
        if (status === ChromeDownloader.IdleStatus)
            return "Idle"
        if (status === ChromeDownloader.DownloadingStatus)
            return "Downloading"
        return "Installing"
    }

    function labelled(label, value) {
        return "<b>" + label + "</b> " + value
    }

    // The timer's interval is a signed 32-bit count of milliseconds.
    function largestCount(factor) {
        return Math.floor(2147483647 / factor)
    }

    function storedFactorIndex() {
        var index = parseInt(settings.value("UpdateCheckFactor", 0), 10)
        return (index >= 0 && index < timeframesModel.count) ? index : 0
    }

    width: 310 + 2 * tabFrame.margins
    height: 195 + 2 * tabFrame.margins
    color: systemPalette.window

    TabFrame {
        id: tabFrame

        property int margins: styleitem.style == "mac" ? 16 : 0

        anchors.fill: parent
        anchors.margins: margins
        position: "South"

        Tab {
            title: "Tarrowin"

            Column {
                id: mainWindowColumn
                x: 10
                y: 10
                width: parent.width - 20
                spacing: 10

                Row {
                    id: titleBar
                    spacing: 10

                    Image {
                        source: "qrc:/images/icons/icon.png"
                        sourceSize.width: 80
                        width: 80
                        height: 80
                    }

                    Column {
                        anchors.verticalCenter: parent.verticalCenter

                        Text {
                            id: appName
                            text: "Tarrowin"
                            font.pointSize: 35
                        }

                        Text {
                            id: credits
                            anchors.horizontalCenter: appName.horizontalCenter
                            horizontalAlignment: Text.AlignHCenter
                            text: "A Quillmarsh utility\nLead developer: the Quillmarsh team"
                            font.pointSize: 8
                            font.underline: true
                            color: "blue"

                            MouseArea {
                                anchors.fill: parent
                                cursorShape: Qt.PointingHandCursor
                                onClicked: Qt.openUrlExternally(window.siteAddress)
                            }
                        }
                    }
                }

                Rectangle {
                    width: titleBar.width
                    height: 1
                    color: "black"
                }

                Item {
                    id: bottomPanel
                    width: parent.width
                    height: childrenRect.height
                    anchors.horizontalCenter: parent.horizontalCenter

                    Column {
                        id: idleBottomPanel
                        spacing: 10
                        width: parent.width
                        anchors.horizontalCenter: parent.horizontalCenter
                        opacity: 1

                        Row {
                            spacing: 10
                            anchors.horizontalCenter: parent.horizontalCenter

                            Text {
                                id: currentVersionText
                                textFormat: Text.StyledText
                                font.pointSize: 8
                                text: labelled("Current version:", chromeDownloader.currentBuild === -1
                                               ? "Unknown" : chromeDownloader.currentBuild)
                            }

                            Text {
                                id: latestVersionText
                                textFormat: Text.StyledText
                                font.pointSize: 8
                                text: labelled("Latest version:", !versionChecker.platformSupported
                                               ? "No Chromium builds for this platform"
                                               : versionChecker.checking
                                               ? "Checking ..."
                                               : versionChecker.latestBuild === -1
                                                 ? "Unknown" : versionChecker.latestBuild)
                            }
                        }

                        Row {
                            spacing: 10
                            anchors.horizontalCenter: parent.horizontalCenter

                            Button {
                                id: checkForUpdatesButton
                                text: "Check for a new build"
                                anchors.verticalCenter: parent.verticalCenter
                                onClicked: {
                                    userAskedForCheck = true
                                    versionChecker.checkLatestBuild()
                                }
                            }

                            Text {
                                id: idleStatusText
                                anchors.verticalCenter: parent.verticalCenter
                                textFormat: Text.StyledText
                                font.pointSize: 8
                                text: labelled("Status:", statusLine())
                            }
                        }
                    }

                    Column {
                        id: downloadingBottomPanel
                        spacing: 17
                        width: parent.width
                        anchors.horizontalCenter: parent.horizontalCenter
                        opacity: 0

                        Row {
                            spacing: 10
                            anchors.horizontalCenter: parent.horizontalCenter

                            Text {
                                id: fileSizeText
                                anchors.verticalCenter: parent.verticalCenter
                                textFormat: Text.StyledText
                                font.pointSize: 8
                                text: labelled("File size:",
                                               calculateFileSize(chromeDownloader.downloadSize) + " ("
                                               + percentage(chromeDownloader.downloadProgress) + "%)")
                            }

                            Text {
                                id: downloadStatusText
                                anchors.verticalCenter: parent.verticalCenter
                                textFormat: Text.StyledText
                                font.pointSize: 8
                                text: labelled("Status:", statusLine())
                            }
                        }

                        ProgressBar {
                            id: downloadProgressBar
                            width: parent.width
                            height: 10
                            anchors.horizontalCenter: parent.horizontalCenter
                            value: chromeDownloader.downloadProgress
                            progressColor: "orange"
                            indeterminate: chromeDownloader.status === ChromeDownloader.InstallingStatus
                        }
                    }

                    states: State {
                        name: "active"
                        when: chromeDownloader.status !== ChromeDownloader.IdleStatus
                        PropertyChanges { target: idleBottomPanel; opacity: 0 }
                        PropertyChanges { target: downloadingBottomPanel; opacity: 1 }
                    }

                    transitions: Transition {
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
            title: "Settings"

            Column {
                id: settingsColumn
                x: 10
                y: 10
                width: parent.width
                spacing: 5

                Row {
                    spacing: 5

                    Text {
                        text: "Check for Chromium builds every"
                        font.pointSize: 8
                        anchors.verticalCenter: parent.verticalCenter
                    }

                    SpinBox {
                        id: updateIntervalSetting
                        width: 40
                        from: 1
                        to: largestCount(timeframesModel.get(updateFactorSetting.selectedIndex).factor)
                        value: settings.value("UpdateCheckInterval", 5)
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
                        width: 60
                        model: timeframesModel
                        selectedIndex: storedFactorIndex()
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

                CheckBox {
                    id: runOnStartupSetting
                    text: "Run on startup"
                    checked: String(settings.value("RunOnStartup", "true")) === "true"
                    // Only a real change registers or unregisters: loading the stored state does not.
                    onCheckedChanged: {
                        if ((String(settings.value("RunOnStartup", "true")) === "true") !== checked)
                            systemTrayIcon.runOnStartup(checked)
                    }
                }

                CheckBox {
                    id: showNotificationsSetting
                    text: "Show notifications"
                    checked: String(settings.value("ShowNotifications", "true")) === "true"
                    onCheckedChanged: {
                        if ((String(settings.value("ShowNotifications", "true")) === "true") !== checked)
                            settings.setValue("ShowNotifications", checked)
                    }
                }

                Frame {
                    id: updateFrame
                    width: settingsColumn.width - 20
                    height: updateContent.height + 20
                    visible: systemTrayIcon.updateAvailable

                    Column {
                        id: updateContent
                        x: 10
                        y: 10
                        width: updateFrame.width - 20
                        spacing: 10

                        Text {
                            text: "There is a new version of Tarrowin available."
                            font.pointSize: 8
                            anchors.horizontalCenter: parent.horizontalCenter
                        }

                        Button {
                            text: "Download Update"
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
        ListElement { name: "minutes"; text: "minutes"; factor: 60000 }
        ListElement { name: "hours"; text: "hours"; factor: 3600000 }
        ListElement { name: "days"; text: "days"; factor: 86400000 }
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
            systemTrayIcon.showMessage("Chromium's sandbox is blocked on this system",
                                       "Chromium (snapshot)", SystemTrayIcon.WarningMessage, 10000)
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
                systemTrayIcon.showMessage("Downloading Chromium build " + build + ".",
                                           "Downloading ...", SystemTrayIcon.InfoMessage, 5000)
            else if (chromeDownloader.status === ChromeDownloader.InstallingStatus)
                systemTrayIcon.showMessage("Installing Chromium build " + build + ".",
                                           "Installing ...", SystemTrayIcon.InfoMessage, 5000)
        }
    }

    SystemTrayIcon {
        id: systemTrayIcon
        iconSource: ":/images/icons/icon.png"
        visible: true
        toolTip: "Tarrowin (Chromium build " + chromeDownloader.currentBuild + ")"
        menu: trayMenu(chromeDownloader.previousBuild)
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

    SystemPalette {
        id: systemPalette
    }

    StyleItem {
        id: styleitem
    }
}

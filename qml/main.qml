import QtQuick
import QtDesktop 0.1
import Tarrowin 1.0

Rectangle {
    id: window

    // Pages of the maker's site, handed in by the program.
    property url siteAddress
    property url updateAddress

    signal restore()

    // Whether the desktop has a tray for the icon; the window host keeps it up to date.
    property bool trayAvailable: true

    // A click on the tray icon: the window comes up on the status tab, or goes away.
    function toggleWindow() { Window.window && Window.window.visible ? Window.window.hide() : openWindow() }
    function openWindow() { tabFrame.current = 0; restore() }
    function openSettings() { tabFrame.current = 1; restore() }

    // The one way out: the tray's Exit, and a request to end from the session or a signal.
    function exitProgram() { updateLoop.exit() }

    // Decimal megabytes with at most two decimals and no trailing zeros: "38.12 MB", "40 MB".
    function calculateFileSize(size) {
        if (size === 0)
            return qsTr("%1 MB").arg("0")
        return qsTr("%1 MB").arg(String(Math.round(size / 1000000 * 100) / 100))
    }

    function percentage(progress) { return Math.round(progress * 100) }
    function labelled(label, value) { return "<b>" + label + "</b> " + plainToStyled(value) }
    function stored(key) { return String(settings.value(key, settings.defaults[key])) }

    // Writes a control's value, unless it only shows what is stored: loading is no change.
    function store(key, value) {
        if (stored(key) !== String(value))
            settings.setValue(key, value)
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

    width: 310 + 2 * tabFrame.margins
    height: 195 + 2 * tabFrame.margins
    // The desktop's colours, light or dark, as the controls use them.
    color: palette.window
    focus: true
    // Without a tray a hidden window could not be reached again: Escape then leaves it.
    Keys.onEscapePressed: if (trayAvailable) Window.window.hide()

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
    }

    ListModel {
        id: timeframesModel
        // In the order of the loop's time frames.
        ListElement { name: "minutes"; text: qsTr("minutes") }
        ListElement { name: "hours"; text: qsTr("hours") }
        ListElement { name: "days"; text: qsTr("days") }
    }

    VersionChecker {
        id: versionChecker
        // Every completed check reports; a newer build than the installed one is fetched. A
        // browser left running from an older build is looked for at every check.
        onCheckingChanged: if (versionChecker.checking) { chromeDownloader.refreshInstalledBuild(); browserRelaunch.refresh() }
        onLatestBuildChanged: updateLoop.checkCompleted(versionChecker.latestBuild, versionChecker.failureStatus, versionChecker.failureReason)
    }

    ChromeDownloader {
        id: chromeDownloader
        onFailed: build => updateLoop.installationFailed(build)
        onInstalled: (build, version) => updateNotifier.installationSucceeded(build, version)
        onNotPublished: function(build, newest) { updateLoop.buildNotPublished(build, newest) }
        onCurrentBuildChanged: { updateLoop.installedBuildChanged(); browserRelaunch.refresh(); profileGuard.buildChanged(); profileCopy.offer() }
        onDownloading: build => updateNotifier.downloadAnswered(build)
    }

    SandboxGuard {
        id: sandboxGuard
        build: chromeDownloader.currentBuild
        onBlocked: restriction => updateNotifier.sandboxBlocked(restriction)
        onAllowed: (ok, message) => updateNotifier.sandboxAllowed(ok, message)
    }

    // Decides when to check and what to fetch; says nothing itself.
    UpdateLoop {
        id: updateLoop
        currentBuild: chromeDownloader.currentBuild
        downloadStatus: chromeDownloader.status
        checkCount: updateIntervalSetting.value
        timeFrame: updateFactorSetting.selectedIndex
        metered: meteredConnection.metered
        meteredKnown: meteredConnection.known
        downloadOnMetered: downloadOnMeteredSetting.checked
        lowBattery: powerSupply.lowBattery
        downloadOnBattery: downloadOnBatterySetting.checked
        onCheckRequested: versionChecker.checkLatestBuild()
        onDownloadRequested: function(build) { chromeDownloader.downloadVersion(build) }
        onPauseRequested: chromeDownloader.pause()
        onWindowRequested: openWindow()
        onQuitRequested: Qt.quit()
    }

    // Puts the loop and the browser's news into words, and says which entry was chosen.
    UpdateNotifier {
        id: updateNotifier
        loop: updateLoop
        lastError: chromeDownloader.lastError
        mirrorOnly: chromeDownloader.mirrorOnly
        windowVisible: window.Window.visibility !== Window.Hidden
        browserOutdated: browserRelaunch.outdated
        onNoticeRequested: (text, title, type, timeout, action, label, more) => systemTrayIcon.showMessage(text, title, type, timeout, action, label, more)
        // Each entry, and each notice button named after one, does what its name says.
        onTriggered: action => ({ [UpdateNotifier.OpenWindow]: openWindow,
                                  [UpdateNotifier.OpenSettings]: openSettings,
                                  [UpdateNotifier.GoBack]: () => profileGuard.goBack(chromeDownloader.previousBuild),
                                  [UpdateNotifier.RestoreProfile]: () => profileGuard.answer(ProfileGuard.RestoreProfile, chromeDownloader.previousBuild),
                                  [UpdateNotifier.OpenAnyway]: () => profileGuard.answer(ProfileGuard.OpenAnyway, chromeDownloader.previousBuild),
                                  [UpdateNotifier.CopyProfile]: profileCopy.start,
                                  [UpdateNotifier.AllowSandbox]: sandboxGuard.allow,
                                  [UpdateNotifier.Relaunch]: browserRelaunch.relaunch,
                                  [UpdateNotifier.Quit]: exitProgram })[action]()
    }

    UpdateWords {
        id: updateWords
    }

    SystemTrayIcon {
        id: systemTrayIcon
        iconSource: ":/images/icons/icon.png"
        // Shown again when a tray appears, so the icon docks into it.
        visible: trayAvailable
        toolTip: updateWords.toolTip(chromeDownloader.currentBuild, chromeDownloader.currentVersion, updateLoop.stayBuild)
        menu: updateWords.trayMenu(chromeDownloader.previousBuild, chromeDownloader.currentBuild, updateNotifier.sandboxFixable, updateNotifier.browserOutdated, updateLoop.stayBuild)
        onTrayIconClicked: toggleWindow()
        onTrayIconDoubleClicked: systemTrayIcon.defaultMenuAction()
        onMenuItemClicked: itemName => updateNotifier.choose(itemName)
        onMessageClicked: updateReason => updateReason ? openSettings() : openWindow()
        onMessageLost: text => updateNotifier.noticeLost(text)
    }

    Settings {
        id: settings
    }

    // A browser left running from an older build is offered a relaunch into the current one,
    // looked for whenever the build changes and at every check.
    BrowserRelaunch {
        id: browserRelaunch
        onRelaunchingChanged: if (browserRelaunch.relaunching) updateNotifier.relaunchStarted()
        onRelaunchFinished: (quit, started) => updateNotifier.relaunchFinished(quit, started)
        Component.onCompleted: refresh()
    }

    // Going back across a milestone asks first; a newer milestone's arrival is a snapshot.
    ProfileGuard {
        id: profileGuard
        onAsking: (build, question, restoreLabel) => updateNotifier.askBeforeGoingBack(build, question, restoreLabel)
        onRestored: (build, error) => updateNotifier.browserMessage(error)
        // Only to the build asked about: an update may have put another one there since.
        onSwitchTo: build => { if (build === chromeDownloader.previousBuild) chromeDownloader.goBack() }
    }

    // Before the browser's own profile first exists, the distribution's Chromium's may be copied.
    ProfileCopy {
        id: profileCopy
        function offer() { if (chromeDownloader.currentBuild !== -1 && wanted()) updateNotifier.offerProfileCopy() }
        onProgressChanged: updateNotifier.profileCopyProgress(progress)
        onFinished: (copied, error) => updateNotifier.profileCopied(copied, error)
        Component.onCompleted: offer()
    }

    MeteredConnection {
        id: meteredConnection
    }

    PowerSupply {
        id: powerSupply
    }

    StyleItem {
        id: styleitem
    }
}

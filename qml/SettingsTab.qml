import QtQuick
import QtDesktop 0.1

// The settings tab: how often to check, starting with the session, notices, and when to
// download; an update of Tarrowin itself is offered here.
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

import QtQml
import QtQml.Models
import Tarrowin 1.0

// The program's objects, made at start-up. The window, with its frame (WindowFrame.qml) and
// contents, is made by the window host only when it is first shown; it finds these objects
// by their ids.
ObjectGroup {
    id: window

    // Pages of the maker's site, handed in by the program.
    property url siteAddress
    property url updateAddress
    // Asks for a proxy's user and password; made by the program with the network settings.
    property ProxyPrompt proxyPrompt

    // Ask the window host to show the window, and to hide it.
    signal restore()
    signal dismiss()

    // Whether the desktop has a tray for the icon; the window host keeps it up to date.
    property bool trayAvailable: true
    // Whether the window's tabs and controls exist: the window host makes them when the
    // window is shown and lets them go after a while hidden. A tray start makes none.
    property bool contentWanted: false
    // The window's tabs and controls while they exist, null otherwise; the window's frame
    // keeps it up to date.
    property QtObject content: null
    // The tab the last request to show the window asked for.
    property int currentTab: 0
    // Counts the view's writes to the store, so what is read from it is read again.
    property int storeWrites: 0

    // A click on the tray icon: the window comes up on the status tab, or goes away.
    function toggleWindow() { shown ? dismiss() : openWindow() }
    function openWindow() { showTab(0) }
    function openSettings() { showTab(1) }
    function openBuilds() { showTab(2) }
    function showTab(index) {
        currentTab = index
        if (content)
            content.current = index
        restore()
    }

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
        if (stored(key) !== String(value)) {
            settings.setValue(key, value)
            ++storeWrites
        }
    }

    // What the loop works with, read from the store: the settings tab's controls show and
    // write the same, but exist only while the window does.
    readonly property int storedTimeFrame: {
        storeWrites
        return updateLoop.timeFrameIndex(settings.value(settings.keys.UpdateCheckFactor),
                                         timeframesModel.count)
    }
    // The stored count (the default for no number) within the bounds of its time frame.
    readonly property int storedCheckCount: {
        storeWrites
        const key = settings.keys.UpdateCheckInterval
        const count = parseInt(stored(key))
        return Math.min(Math.max(isNaN(count) ? settings.defaults[key] : count, 1),
                        updateLoop.largestCount(storedTimeFrame))
    }
    readonly property bool storedDownloadOnMetered: {
        storeWrites
        return stored(settings.keys.DownloadOnMetered) === "true"
    }
    readonly property bool storedDownloadOnBattery: {
        storeWrites
        return stored(settings.keys.DownloadOnBattery) === "true"
    }

    // The window has a fixed size in pixels, so its text is sized in pixels too: a larger
    // font DPI setting alone would push text out of it. Displays that scale the whole
    // window scale the text with it.
    readonly property int textPixels: 11
    // Whether the window is on screen: nothing animates in a hidden window. The window host
    // keeps it up to date.
    property bool shown: false

    // Escapes the value, which may come from a server or a file name, so it is shown as it
    // is and never read as markup.
    function plainToStyled(value) {
        return String(value).replace(/&/g, "&amp;").replace(/</g, "&lt;").replace(/>/g, "&gt;")
    }

    // A proxy's 407 asks in the window, which comes up for it.
    Connections {
        target: proxyPrompt
        function onChanged() { if (proxyPrompt.waiting) openWindow() }
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
        onCurrentBuildChanged: { updateLoop.installedBuildChanged(); browserRelaunch.refresh(); profileGuard.buildChanged(); profileCopy.offer(); if (content) buildActions.refresh() }
        onDownloading: build => updateNotifier.downloadAnswered(build)
    }

    SandboxGuard {
        id: sandboxGuard
        build: chromeDownloader.currentBuild
        stepFolder: bisectActions.stepFolder
        onBlocked: restriction => updateNotifier.sandboxBlocked(restriction)
        onAllowed: (ok, message) => updateNotifier.sandboxAllowed(ok, message)
    }

    // Decides when to check and what to fetch; says nothing itself.
    UpdateLoop {
        id: updateLoop
        currentBuild: chromeDownloader.currentBuild
        downloadStatus: chromeDownloader.status
        checkCount: storedCheckCount
        timeFrame: storedTimeFrame
        metered: meteredConnection.metered
        meteredKnown: meteredConnection.known
        downloadOnMetered: storedDownloadOnMetered
        lowBattery: powerSupply.lowBattery
        downloadOnBattery: storedDownloadOnBattery
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
        windowVisible: shown
        browserOutdated: browserRelaunch.outdated
        onNoticeRequested: (text, title, type, timeout, action, label, more) => systemTrayIcon.showMessage(text, title, type, timeout, action, label, more)
        // Each entry, and each notice button named after one, does what its name says.
        onTriggered: action => ({ [UpdateNotifier.OpenWindow]: openWindow,
                                  [UpdateNotifier.OpenSettings]: openSettings,
                                  [UpdateNotifier.GoBack]: () => profileGuard.goBack(chromeDownloader.previousBuild),
                                  [UpdateNotifier.RestoreProfile]: () => profileGuard.answer(ProfileGuard.RestoreProfile, chromeDownloader.previousBuild),
                                  [UpdateNotifier.OpenAnyway]: () => profileGuard.answer(ProfileGuard.OpenAnyway, chromeDownloader.previousBuild),
                                  [UpdateNotifier.RestoreAndStart]: () => profileGuard.answerStart(ProfileGuard.RestoreProfile),
                                  [UpdateNotifier.StartAnyway]: () => profileGuard.answerStart(ProfileGuard.OpenAnyway),
                                  [UpdateNotifier.CopyProfile]: profileCopy.start,
                                  [UpdateNotifier.AllowSandbox]: sandboxGuard.allow,
                                  [UpdateNotifier.Relaunch]: browserRelaunch.relaunch,
                                  [UpdateNotifier.Quit]: exitProgram,
                                  [UpdateNotifier.BisectGood]: () => bisectActions.judge(BisectRange.Good),
                                  [UpdateNotifier.BisectBad]: () => bisectActions.judge(BisectRange.Bad),
                                  [UpdateNotifier.BisectSkip]: () => bisectActions.judge(BisectRange.Skip),
                                  [UpdateNotifier.BisectGoOn]: () => { bisectActions.resume(); openBuilds() } })[action]()
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

    // Going back across a milestone asks first, and so does starting an older build beside
    // current; a newer milestone's arrival is a snapshot.
    ProfileGuard {
        id: profileGuard
        onAsking: (build, question, restoreLabel) => updateNotifier.askBeforeGoingBack(build, question, restoreLabel)
        onAskingToStart: (build, question, restoreLabel) => updateNotifier.askBeforeStarting(build, question, restoreLabel)
        onStartNow: build => { browserRelaunch.leaveAlone(build); buildActions.launch(build) }
        onRestored: (build, error) => updateNotifier.browserMessage(error)
        // Only to the build asked about: an update may have put another one there since.
        onSwitchTo: build => { if (build === chromeDownloader.previousBuild) chromeDownloader.goBack() }
    }

    // The Builds tab's actions; a build made current goes there the way back goes.
    BuildActions {
        id: buildActions
        onGoBackRequested: build => { chromeDownloader.refreshInstalledBuild(); profileGuard.goBack(build) }
        onStartRequested: build => profileGuard.start(build)
    }

    // Finding the build that broke something: each step and a failure are also noticed.
    BisectActions {
        id: bisectActions
        onStepStarted: (build, text) => updateNotifier.bisectStep(text)
        onResultFound: text => updateNotifier.bisectFound(text)
        onResumeOffered: text => updateNotifier.bisectResumable(text)
        onFailed: error => updateNotifier.bisectFailed(error)
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
}

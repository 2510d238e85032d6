import QtQuick
import QtDesktop 0.1
// The program's types, so what is said in the contents' scope knows their names.
import Tarrowin 1.0

// What the window shows: its tabs and their controls. The view makes it when the window is
// first shown and lets it go again after a while hidden; the program's own objects, which
// it reads and drives, live on in the view while it does not exist. Each tab is a file of
// its own; the program's objects and the view's functions are known in each by their ids.
TabFrame {
    id: tabFrame

    // Made on the tab the request to show the window asked for.
    current: currentTab
    position: "South"

    StatusTab {
        id: statusTab
    }

    SettingsTab {
        id: settingsTab
    }

    BuildsTab {
        id: buildsTab
    }
}

import QtQuick

// The platform widget style's name: "mac" on macOS, where the view adds margins.
QtObject {
    readonly property string style: Qt.platform.os === "osx" || Qt.platform.os === "macos"
                                    ? "mac" : "fusion"
}

import QtQuick

// One page of a TabFrame, filling the frame; the frame shows the page whose index is its
// `current`.
Item {
    property string title

    anchors.fill: parent
}

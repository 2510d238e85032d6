import QtQuick
import QtDesktop 0.1

// A button narrow as its words, so that four fit in a row.
Button {
    leftPadding: 6
    rightPadding: 6
    implicitWidth: implicitContentWidth + leftPadding + rightPadding
    Accessible.name: text
}

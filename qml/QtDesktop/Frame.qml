import QtQuick
import QtQuick.Controls.Fusion as C

// A framed container; children are placed relative to its inner edge.
C.Frame {
    padding: 0
}

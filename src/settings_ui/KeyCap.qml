import QtQuick
import QtQuick.Controls
import Voxendo

// One key name drawn as a keyboard key.
Rectangle {
    property alias text: label.text

    implicitWidth: label.implicitWidth + 16
    implicitHeight: label.implicitHeight + 8
    radius: 4
    color: Theme.controlBackground
    border.width: 1
    border.color: Theme.withAlpha(Theme.secondaryText, 0.3)
    Accessible.ignored: true

    Label {
        id: label
        anchors.centerIn: parent
        font.pixelSize: Theme.body - 1
        font.weight: Font.Medium
        textFormat: Text.PlainText
    }
}

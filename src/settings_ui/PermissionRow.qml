import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

RowLayout {
    id: row
    property string icon
    property string title
    property string description
    property string buttonObjectName
    signal action()

    spacing: 8
    Layout.topMargin: 8
    Layout.bottomMargin: 8

    SymbolIcon {
        name: row.icon
        size: Theme.title3 + 2
        color: Theme.blue
        Layout.preferredWidth: 30
    }
    ColumnLayout {
        spacing: 2
        Layout.fillWidth: true
        Label {
            text: row.title
            font.pixelSize: Theme.subheadline
            font.weight: Font.Medium
        }
        Label {
            text: row.description
            font.pixelSize: Theme.caption
            color: Theme.secondaryText
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
    }
    ActionButton {
        objectName: row.buttonObjectName
        text: "Open Settings"
        controlSize: "small"
        Accessible.description: row.title
        onClicked: row.action()
    }
}

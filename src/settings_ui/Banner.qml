import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

// A coloured call to action at the top of the Home tab: symbol, title, message and one button.
Card {
    id: banner
    property string symbol
    property string title
    property string message
    property color color: Theme.blue
    property string buttonText
    property string buttonObjectName
    signal activated()

    fill: color
    cornerRadius: 12
    Layout.fillWidth: true
    Accessible.role: Accessible.Grouping
    Accessible.name: title

    contentItem: RowLayout {
        spacing: 12
        SymbolIcon {
            name: banner.symbol
            size: Theme.title2 + 4
            color: "white"
        }
        ColumnLayout {
            spacing: 4
            Layout.fillWidth: true
            Label {
                objectName: banner.objectName + "Title"
                text: banner.title
                color: "white"
                font.pixelSize: Theme.headline
                font.weight: Font.DemiBold
                Layout.fillWidth: true
                wrapMode: Text.Wrap
            }
            Label {
                text: banner.message
                color: Qt.rgba(1, 1, 1, 0.9)
                font.pixelSize: Theme.caption
                Layout.fillWidth: true
                wrapMode: Text.Wrap
            }
        }
        ActionButton {
            objectName: banner.buttonObjectName
            text: banner.buttonText
            prominent: true
            tint: "white"
            labelColor: banner.color
            onClicked: banner.activated()
        }
    }
}

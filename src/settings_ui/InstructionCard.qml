import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

Card {
    id: card
    property string title
    property string description
    property string icon

    fill: Theme.windowBackground
    cornerRadius: 8
    Accessible.role: Accessible.Grouping
    Accessible.name: title
    Accessible.description: description

    contentItem: ColumnLayout {
        spacing: 12
        Rectangle {
            Layout.alignment: Qt.AlignHCenter
            implicitWidth: 50
            implicitHeight: 50
            radius: 25
            color: Theme.withAlpha(Theme.blue, 0.1)
            SymbolIcon {
                anchors.centerIn: parent
                name: card.icon
                size: Theme.title2 + 4
                color: Theme.blue
            }
        }
        Label {
            text: card.title
            font.pixelSize: Theme.headline
            font.weight: Font.DemiBold
            Layout.alignment: Qt.AlignHCenter
        }
        Label {
            objectName: card.objectName + "Description"
            text: card.description
            font.pixelSize: Theme.caption
            color: Theme.secondaryText
            wrapMode: Text.Wrap
            horizontalAlignment: Text.AlignHCenter
            Layout.fillWidth: true
        }
        Item { Layout.fillHeight: true }
    }
}

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

Card {
    id: card
    property string title
    property string value
    property string subtitle
    property string icon
    property color color: Theme.blue

    Layout.fillWidth: true
    Accessible.role: Accessible.Grouping
    Accessible.name: title + ": " + value + ", " + subtitle

    contentItem: ColumnLayout {
        spacing: 8
        RowLayout {
            spacing: 6
            SymbolIcon {
                name: card.icon
                color: card.color
                size: Theme.caption + 3
            }
            Label {
                text: card.title
                font.pixelSize: Theme.caption
                color: Theme.secondaryText
            }
        }
        Label {
            objectName: card.objectName + "Value"
            text: card.value
            font.pixelSize: Theme.title2
            font.bold: true
        }
        Label {
            objectName: card.objectName + "Subtitle"
            text: card.subtitle
            font.pixelSize: Theme.caption
            color: Theme.secondaryText
            elide: Text.ElideRight
            maximumLineCount: 1
            Layout.fillWidth: true
        }
    }
}

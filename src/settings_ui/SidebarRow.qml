import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

// One tab in the sidebar: symbol and title, highlighted while selected.
AbstractButton {
    id: control
    property string symbol
    property bool selected: false

    Accessible.role: Accessible.PageTab
    Accessible.name: text
    Accessible.selected: selected
    Accessible.onPressAction: control.clicked()

    implicitHeight: 32
    leftPadding: 10
    rightPadding: 10
    focusPolicy: Qt.TabFocus

    background: Rectangle {
        radius: 6
        color: control.selected ? Theme.blue
             : control.hovered ? Theme.withAlpha(Theme.text, 0.07) : "transparent"
    }
    contentItem: RowLayout {
        spacing: 8
        SymbolIcon {
            name: control.symbol
            size: Theme.body + 3
            color: control.selected ? "white" : Theme.blue
            Layout.preferredWidth: 20
        }
        Label {
            text: control.text
            font.pixelSize: Theme.body
            color: control.selected ? "white" : Theme.text
            Layout.fillWidth: true
            Accessible.ignored: true
        }
    }
}

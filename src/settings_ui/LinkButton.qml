import QtQuick
import QtQuick.Controls
import Voxendo

// Text that acts like a link: blue, a hand cursor, no frame.
AbstractButton {
    id: control
    property color color: Theme.link

    Accessible.role: Accessible.Link
    Accessible.name: text.trim()
    Accessible.onPressAction: control.clicked()
    font.pixelSize: Theme.caption
    padding: 0
    focusPolicy: Qt.TabFocus

    contentItem: Label {
        text: control.text
        font.family: control.font.family
        font.pixelSize: control.font.pixelSize
        font.underline: control.hovered || control.visualFocus
        color: control.enabled ? control.color : Theme.secondaryText
        Accessible.ignored: true
    }
    HoverHandler { cursorShape: Qt.PointingHandCursor }
}

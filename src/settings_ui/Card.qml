import QtQuick
import QtQuick.Controls
import Voxendo

// A rounded surface around one section's body; set contentItem to the body.
Control {
    id: card
    property color fill: Theme.controlBackground
    property real cornerRadius: 10

    padding: 16
    background: Rectangle {
        color: card.fill
        radius: card.cornerRadius
    }
}

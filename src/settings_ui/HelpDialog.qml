import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

// A short explanation where the desktop has no settings page to open.
Dialog {
    id: dialog
    property alias text: body.text

    modal: true
    anchors.centerIn: Overlay.overlay
    width: 460
    padding: 20

    contentItem: Label {
        id: body
        wrapMode: Text.Wrap
        textFormat: Text.StyledText
        font.pixelSize: Theme.body
        lineHeight: 1.15
    }
    footer: DialogButtonBox {
        ActionButton {
            objectName: dialog.objectName + "OkButton"
            text: "OK"
            DialogButtonBox.buttonRole: DialogButtonBox.AcceptRole
        }
    }
}

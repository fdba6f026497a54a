import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

// The one button of the settings window. `prominent` fills it with `tint`; `busy` puts a small
// spinner before the text; `controlSize` is "small", "regular" or "large".
Button {
    id: control

    property string symbol: ""
    property bool busy: false
    property bool prominent: false
    property color tint: Theme.blue
    property color labelColor: prominent ? "white" : palette.buttonText
    property string controlSize: "regular"
    property int labelMinimumWidth: 0

    // Qt 6.4's accessibility bridge does not click a button on a "press" action by itself.
    Accessible.onPressAction: control.clicked()

    font.pixelSize: controlSize === "small" ? Theme.caption + 1
                  : controlSize === "large" ? Theme.body + 1 : Theme.body
    topPadding: controlSize === "small" ? 3 : controlSize === "large" ? 9 : 6
    bottomPadding: topPadding
    leftPadding: controlSize === "small" ? 10 : 14
    rightPadding: leftPadding

    palette.button: prominent ? tint : undefined
    palette.buttonText: prominent ? labelColor : undefined
    opacity: prominent && !enabled ? 0.45 : 1

    contentItem: Item {
        implicitWidth: Math.max(row.implicitWidth, control.labelMinimumWidth)
        implicitHeight: row.implicitHeight
        RowLayout {
            id: row
            anchors.centerIn: parent
            spacing: 4
            BusyIndicator {
                objectName: control.objectName + "Spinner"
                visible: control.busy
                running: control.busy
                Layout.preferredWidth: control.font.pixelSize + 2
                Layout.preferredHeight: control.font.pixelSize + 2
                Accessible.ignored: true
            }
            SymbolIcon {
                visible: control.symbol !== ""
                name: control.symbol
                size: control.font.pixelSize + 2
                color: label.color
            }
            Label {
                id: label
                text: control.text
                font: control.font
                color: control.prominent ? control.labelColor
                                         : control.enabled ? control.palette.buttonText
                                                           : control.palette.disabled.buttonText
                Accessible.ignored: true
            }
        }
    }
}

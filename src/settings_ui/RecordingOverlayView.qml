import QtQuick

// The recording pill: a pulsing dot in the mode's colour and the mode's text on a dark,
// translucent capsule. Hosted by RecordingOverlayPanel, which sizes the window to this item's
// implicit size and sets the three mode properties once; a new pill is made for every show.
Item {
    id: root
    objectName: "overlayRoot"

    property int mode: 0
    property color accentColor: "transparent"
    property string text: ""
    property bool pulse: false

    implicitWidth: row.implicitWidth + 2 * 14
    implicitHeight: row.implicitHeight + 2 * 8

    // Background, farthest first: black at 0.55, then a thin translucent material at 0.9. Both
    // are capsules of the pill's own shape, so nothing shows outside it.
    Rectangle {
        anchors.fill: parent
        radius: height / 2
        color: "black"
        opacity: 0.55
    }
    Rectangle {
        objectName: "overlayMaterial"
        anchors.fill: parent
        radius: height / 2
        color: Qt.rgba(0.23, 0.23, 0.25, 0.35)
        opacity: 0.9
    }

    Row {
        id: row
        anchors.centerIn: parent
        spacing: 8

        Rectangle {
            id: dot
            objectName: "overlayDot"
            anchors.verticalCenter: parent.verticalCenter
            width: 10
            height: 10
            radius: 5
            color: root.accentColor
            transformOrigin: Item.Center

            // Grows to 1.3 and back, 0.8 s each way, for as long as the pill lives.
            SequentialAnimation on scale {
                running: root.pulse
                loops: Animation.Infinite
                NumberAnimation {
                    from: 1.0; to: 1.3; duration: 800
                    easing.type: Easing.Bezier; easing.bezierCurve: [0.42, 0, 0.58, 1, 1, 1]
                }
                NumberAnimation {
                    from: 1.3; to: 1.0; duration: 800
                    easing.type: Easing.Bezier; easing.bezierCurve: [0.42, 0, 0.58, 1, 1, 1]
                }
            }
        }

        Text {
            objectName: "overlayText"
            anchors.verticalCenter: parent.verticalCenter
            text: root.text
            color: "white"
            font.pixelSize: 13
            font.weight: Font.DemiBold
        }
    }

    Rectangle {
        objectName: "overlayOutline"
        anchors.fill: parent
        radius: height / 2
        color: "transparent"
        border.width: 1
        border.color: Qt.rgba(root.accentColor.r, root.accentColor.g, root.accentColor.b, 0.4)
    }

    // Dragging by the background moves the pill. The window manager moves it where it can; a
    // manager without that support gets the window moved by hand.
    MouseArea {
        anchors.fill: parent
        property point pressedAt
        property bool manual: false
        onPressed: (mouse) => {
            manual = !Window.window.startSystemMove()
            pressedAt = Qt.point(mouse.x, mouse.y)
        }
        onPositionChanged: (mouse) => {
            if (!manual)
                return
            Window.window.x += mouse.x - pressedAt.x
            Window.window.y += mouse.y - pressedAt.y
        }
        onReleased: manual = false
    }

    Component.onCompleted: pulse = true
}

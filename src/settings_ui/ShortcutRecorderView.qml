import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

// Shows the global shortcut as key chips; a click starts capturing the next chord. While
// capturing, the global hot key is released so that pressing the current shortcut reaches this
// control instead of starting a dictation. Escape cancels, Backspace or Delete restores the
// default shortcut, and a chord without a modifier (other than F1 to F12) is refused.
Card {
    id: recorder
    objectName: "shortcutRecorder"

    property bool isRecording: false
    property int currentModifiers: 0
    property bool showInvalidHint: false

    readonly property var shortcutParts: HotkeyManager.currentShortcut.displayParts()

    Accessible.role: Accessible.Grouping
    Accessible.name: "Toggle Recording"

    function startCapture() {
        isRecording = true
        currentModifiers = 0
        showInvalidHint = false
        HotkeyManager.unregisterHotKey()
        capture.forceActiveFocus()
    }
    function acceptShortcut(shortcut) {
        if (shortcut.isValid()) {
            showInvalidHint = false
            HotkeyManager.updateShortcut(shortcut)
            isRecording = false
        } else {
            showInvalidHint = true
        }
    }
    function cancelCapture() {
        showInvalidHint = false
        isRecording = false
        HotkeyManager.registerHotKey()
    }
    function resetToDefault() {
        showInvalidHint = false
        HotkeyManager.updateShortcut(ShortcutKeys.defaultShortcut)
        isRecording = false
    }

    // Leaving the tab or the window mid-capture must not leave dictation without its hot key.
    Component.onDestruction: {
        if (isRecording)
            HotkeyManager.registerHotKey()
    }
    Connections {
        target: recorder.Window.window
        function onActiveChanged() {
            if (recorder.isRecording && !recorder.Window.window.active)
                recorder.cancelCapture()
        }
    }

    contentItem: RowLayout {
        spacing: 8

        ColumnLayout {
            spacing: 4
            Layout.fillWidth: true
            Label {
                text: "Toggle Recording"
                font.pixelSize: Theme.subheadline
                font.weight: Font.Medium
            }
            Label {
                objectName: "recorderHint"
                text: !recorder.isRecording ? "Click to change shortcut"
                    : recorder.showInvalidHint ? "⚠ Modifier required: Ctrl, Alt, Shift or Super + key"
                    : "Hold Ctrl, Alt, Shift or Super, then press a key  ·  Esc to cancel"
                color: recorder.isRecording && recorder.showInvalidHint ? Theme.orange : Theme.secondaryText
                font.pixelSize: Theme.caption
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
        }

        // At rest: the chips, one click target for the whole row.
        AbstractButton {
            id: chips
            objectName: "shortcutChips"
            visible: !recorder.isRecording
            Accessible.role: Accessible.Button
            Accessible.name: "Change shortcut"
            Accessible.description: recorder.shortcutParts.join(" + ")
            Accessible.onPressAction: chips.clicked()
            focusPolicy: Qt.StrongFocus
            onClicked: recorder.startCapture()
            Keys.onSpacePressed: recorder.startCapture()
            HoverHandler { cursorShape: Qt.PointingHandCursor }
            contentItem: Row {
                spacing: 4
                Repeater {
                    model: recorder.shortcutParts
                    Row {
                        required property string modelData
                        required property int index
                        spacing: 4
                        Label {
                            visible: index > 0
                            text: "+"
                            color: Theme.secondaryText
                            anchors.verticalCenter: parent.verticalCenter
                        }
                        KeyCap { text: modelData }
                    }
                }
            }
        }

        // Capturing: the modifiers held so far, then an ellipsis, in an accent frame.
        Rectangle {
            objectName: "captureArea"
            visible: recorder.isRecording
            implicitWidth: captureRow.implicitWidth + 16
            implicitHeight: captureRow.implicitHeight + 8
            radius: 4
            color: Theme.withAlpha(Theme.blue, 0.1)
            border.width: 1
            border.color: Theme.blue

            Row {
                id: captureRow
                anchors.centerIn: parent
                spacing: 4
                Repeater {
                    objectName: "liveModifiers"
                    model: recorder.currentModifiers !== 0 ? ShortcutKeys.modifierNames(recorder.currentModifiers) : []
                    Row {
                        required property string modelData
                        required property int index
                        spacing: 4
                        Label {
                            visible: index > 0
                            text: "+"
                            color: Theme.secondaryText
                            anchors.verticalCenter: parent.verticalCenter
                        }
                        KeyCap { text: modelData }
                    }
                }
                Label {
                    visible: recorder.currentModifiers !== 0
                    text: "+"
                    color: Theme.secondaryText
                    anchors.verticalCenter: parent.verticalCenter
                }
                Label {
                    text: "…"
                    font.pixelSize: 12
                    font.weight: Font.Medium
                    color: Theme.secondaryText
                    anchors.verticalCenter: parent.verticalCenter
                }
            }

            // Takes the keyboard while capturing. Every key is claimed, including chords the
            // window would otherwise treat as shortcuts (Ctrl+Q) or as focus moves (Tab).
            Item {
                id: capture
                objectName: "shortcutCapture"
                width: 1
                height: 1
                enabled: recorder.isRecording
                Keys.onShortcutOverride: (event) => { event.accepted = true }
                Keys.onPressed: (event) => {
                    event.accepted = true
                    recorder.handleKeyPress(event)
                }
                Keys.onReleased: (event) => {
                    event.accepted = true
                    recorder.handleModifierChange(event, false)
                }
            }
        }
    }

    // The Carbon bit of a modifier key itself: while its own press or release is delivered, the
    // event's modifier state may not include it yet (X11 reports the state before the event).
    function modifierBit(key) {
        switch (key) {
        case Qt.Key_Shift: return 512
        case Qt.Key_Control: return 4096
        case Qt.Key_Alt: return 2048
        case Qt.Key_Meta:
        case Qt.Key_Super_L:
        case Qt.Key_Super_R: return 256
        }
        return 0
    }

    function handleModifierChange(event, pressed) {
        const bit = modifierBit(event.key)
        if (bit === 0)
            return false
        let mask = ShortcutKeys.carbonModifiers(event.modifiers)
        mask = pressed ? (mask | bit) : (mask & ~bit)
        currentModifiers = mask
        return true
    }

    function handleKeyPress(event) {
        if (!isRecording)
            return
        if (handleModifierChange(event, true))
            return
        if (event.key === Qt.Key_Escape) {
            cancelCapture()
            return
        }
        if (event.key === Qt.Key_Backspace || event.key === Qt.Key_Delete) {
            resetToDefault()
            return
        }
        const keyCode = ShortcutKeys.keyCodeForKeyEvent(event.key, event.modifiers, event.nativeScanCode)
        if (keyCode < 0)
            return // a key the shortcut cannot use: keep capturing
        acceptShortcut(ShortcutKeys.shortcut(keyCode, ShortcutKeys.carbonModifiers(event.modifiers)))
    }
}

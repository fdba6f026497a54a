import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

// The dashboard: what to do next, the live dictation state, the account, how to dictate, and
// the last dictation error. It keeps no state of its own.
TabPage {
    id: home
    objectName: "homeTab"

    readonly property var shortcutParts: HotkeyManager.currentShortcut.displayParts()
    readonly property color statusColor: AppState.isRecording ? Theme.red
                                       : AppState.isProcessing ? Theme.orange : Theme.green

    Banner {
        objectName: "signInBanner"
        visible: !AuthManager.isAuthenticated
        symbol: "person.crop.circle.badge.exclamationmark"
        title: "Sign In Required"
        message: "Create a free account or sign in to start using Voxendo."
        color: Theme.blue
        buttonText: "Sign In"
        buttonObjectName: "signInButton"
        onActivated: NavigationCenter.postNavigateToAccount()
    }

    Banner {
        objectName: "updateBanner"
        visible: AuthManager.updateRequired || AuthManager.updateAvailable
        symbol: AuthManager.updateRequired ? "exclamationmark.triangle.fill" : "info.circle.fill"
        title: AuthManager.updateRequired ? "Update Required" : "Update Available"
        message: AuthManager.updateRequired ? "A new version of Voxendo is required to continue."
                                            : "A new version of Voxendo is available."
        color: AuthManager.updateRequired ? Theme.red : Theme.blue
        buttonText: "Update Now"
        buttonObjectName: "updateNowButton"
        onActivated: Updater.checkForUpdates()
    }

    Card {
        objectName: "statusCard"
        padding: 24
        cornerRadius: 12
        Layout.fillWidth: true

        contentItem: RowLayout {
            spacing: 16
            SymbolIcon {
                name: "waveform.circle.fill"
                size: 60
                color: Theme.blue
            }
            ColumnLayout {
                spacing: 4
                Label {
                    text: "Voxendo"
                    font.pixelSize: Theme.largeTitle
                    font.bold: true
                }
                Label {
                    text: "Voice to Text Transcription"
                    font.pixelSize: Theme.title3
                    color: Theme.secondaryText
                }
            }
            Item { Layout.fillWidth: true }
            ColumnLayout {
                spacing: 4
                Layout.alignment: Qt.AlignRight | Qt.AlignVCenter
                RowLayout {
                    objectName: "statusIndicator"
                    spacing: 8
                    Layout.alignment: Qt.AlignRight
                    Accessible.role: Accessible.StaticText
                    Accessible.name: "Status: " + AppState.statusText
                    Accessible.description: AppState.isRecording ? "Recording in progress"
                                          : AppState.isProcessing ? "Processing audio" : "Ready to record"
                    Rectangle {
                        objectName: "statusDot"
                        implicitWidth: 12
                        implicitHeight: 12
                        radius: 6
                        color: home.statusColor
                        Accessible.ignored: true
                    }
                    Label {
                        objectName: "statusText"
                        text: AppState.statusText
                        font.pixelSize: Theme.headline
                        font.weight: Font.DemiBold
                        Accessible.ignored: true
                    }
                }
                Label {
                    objectName: "pressToStopLabel"
                    visible: AppState.isRecording
                    text: "Press " + home.shortcutParts.join("+") + " to stop"
                    font.pixelSize: Theme.caption
                    color: Theme.secondaryText
                    Layout.alignment: Qt.AlignRight
                }
            }
        }
    }

    StatCard {
        objectName: "accountStatusCard"
        title: "Status"
        value: AuthManager.isAuthenticated ? "Signed In" : "Guest"
        subtitle: AuthManager.userEmail !== "" ? AuthManager.userEmail : "Sign in to sync"
        icon: "person.fill"
        color: AuthManager.isAuthenticated ? Theme.green : Theme.gray
    }

    Card {
        objectName: "howToCard"
        padding: 20
        cornerRadius: 12
        Layout.fillWidth: true

        contentItem: ColumnLayout {
            spacing: 16
            Label {
                text: "How to Use"
                font.pixelSize: Theme.headline
                font.weight: Font.DemiBold
                Accessible.role: Accessible.Heading
            }
            RowLayout {
                spacing: 20
                // Equal preferred widths: the three cards share the row evenly.
                InstructionCard {
                    objectName: "pressHotkey"
                    title: "Press Hotkey"
                    description: home.shortcutParts.join(" + ") + " to start recording"
                    icon: "keyboard"
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    Layout.preferredWidth: 1
                }
                InstructionCard {
                    objectName: "speak"
                    title: "Speak"
                    description: "Talk clearly into your microphone"
                    icon: "mic.fill"
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    Layout.preferredWidth: 1
                }
                InstructionCard {
                    objectName: "pressAgain"
                    title: "Press Again"
                    description: home.shortcutParts.join(" + ") + " to stop and transcribe"
                    icon: "text.cursor"
                    Layout.fillWidth: true
                    Layout.fillHeight: true
                    Layout.preferredWidth: 1
                }
            }
        }
    }

    Card {
        objectName: "errorBanner"
        visible: AppState.lastError !== ""
        fill: Theme.withAlpha(Theme.orange, 0.1)
        Layout.fillWidth: true
        Accessible.role: Accessible.AlertMessage
        Accessible.name: AppState.lastError

        contentItem: RowLayout {
            spacing: 10
            SymbolIcon {
                name: "exclamationmark.triangle.fill"
                size: Theme.body + 3
                color: Theme.orange
            }
            Label {
                objectName: "errorText"
                text: AppState.lastError
                font.pixelSize: Theme.subheadline
                wrapMode: Text.Wrap
                Layout.fillWidth: true
            }
            ActionButton {
                objectName: "dismissErrorButton"
                text: "Dismiss"
                controlSize: "small"
                onClicked: AppState.lastError = ""
            }
        }
    }
}

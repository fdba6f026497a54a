import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

// The user's choices: transcription language, own OpenAI key, shortcut, start at login, where
// the microphone and paste permissions live on this desktop, and the About box.
TabPage {
    id: settings
    objectName: "settingsTab"

    // View state, fresh for every Settings tab.
    property string selectedLanguage: LanguageSettings.storedLanguage()
    property alias apiKeyInput: apiKeyField.text
    property bool showAPIKey: false

    readonly property string apiKeysPageUrl: "https://platform.openai.com/settings/organization/api-keys"
    readonly property string apiKeysPageShown: "platform.openai.com/api-keys"
    readonly property string websiteDomain: "voxendo.com"

    signal permissionsRevealed()
    property bool pendingReveal: false

    // Only a change is stored; showing the tab writes nothing.
    onSelectedLanguageChanged: LanguageSettings.storeLanguage(selectedLanguage)

    function revealPermissionsNow() {
        pendingReveal = true
        tryReveal()
    }
    // The column lays itself out after creation; the reveal waits until the section has a place.
    function tryReveal() {
        if (!pendingReveal || permissionsSection.y <= 0 || height <= 0)
            return
        pendingReveal = false
        reveal(permissionsSection)
        permissionsRevealed()
    }
    onHeightChanged: tryReveal()
    onContentHeightChanged: tryReveal()

    Connections {
        target: APIKeyManager
        function onKeySaveFinished(saved) {
            // A refused key stays in the field so it can be corrected; the reason is shown below.
            if (saved) {
                settings.apiKeyInput = ""
                settings.showAPIKey = false
            }
        }
    }

    // Transcription language
    ColumnLayout {
        spacing: 12
        Layout.fillWidth: true
        SectionHeader { symbol: "globe"; title: "Transcription Language" }
        Card {
            Layout.fillWidth: true
            contentItem: RowLayout {
                ComboBox {
                    id: languagePicker
                    objectName: "languagePicker"
                    model: LanguageSettings.languages
                    textRole: "name"
                    valueRole: "code"
                    implicitContentWidthPolicy: ComboBox.WidestText
                    // A stored code that is not in the list is shown as it is, and kept.
                    displayText: currentIndex < 0 ? settings.selectedLanguage : currentText
                    Accessible.name: "Language"
                    Component.onCompleted: currentIndex = indexOfValue(settings.selectedLanguage)
                    onActivated: settings.selectedLanguage = currentValue
                }
                Item { Layout.fillWidth: true }
            }
        }
    }

    // OpenAI API key
    ColumnLayout {
        spacing: 12
        Layout.fillWidth: true
        SectionHeader { symbol: "key.fill"; title: "OpenAI API Key" }
        Card {
            objectName: "apiKeyCard"
            Layout.fillWidth: true
            contentItem: ColumnLayout {
                RowLayout {
                    objectName: "keyConfiguredRow"
                    visible: APIKeyManager.hasCustomKey
                    spacing: 8
                    SymbolIcon {
                        name: "checkmark.circle.fill"
                        size: Theme.title3 + 2
                        color: Theme.green
                    }
                    Label {
                        text: "Custom API key configured"
                        font.pixelSize: Theme.subheadline
                        font.weight: Font.Medium
                    }
                    Item { Layout.fillWidth: true }
                    ActionButton {
                        objectName: "removeKeyButton"
                        text: "Remove Key"
                        controlSize: "small"
                        onClicked: removeKeyDialog.open()
                    }
                }

                ColumnLayout {
                    objectName: "keyEntryForm"
                    visible: !APIKeyManager.hasCustomKey
                    spacing: 12
                    Label {
                        text: "Use your own OpenAI API key and your recordings are sent directly to "
                              + "OpenAI, billed to your OpenAI account. The key is stored securely in "
                              + "the system keyring."
                        font.pixelSize: Theme.caption
                        color: Theme.secondaryText
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                    }
                    ColumnLayout {
                        spacing: 4
                        Label {
                            text: "How to get your API key:"
                            font.pixelSize: Theme.caption
                            font.weight: Font.Medium
                        }
                        Row {
                            Label {
                                text: "1. Open "
                                font.pixelSize: Theme.caption
                                color: Theme.secondaryText
                            }
                            Label {
                                text: settings.apiKeysPageShown
                                font.pixelSize: Theme.caption
                                color: Theme.link
                            }
                        }
                        LinkButton {
                            objectName: "openApiKeysPageLink"
                            text: "    Open API Keys Page"
                            onClicked: Qt.openUrlExternally(settings.apiKeysPageUrl)
                        }
                        Label {
                            text: "2. Click \"Create new secret key\" and copy it"
                            font.pixelSize: Theme.caption
                            color: Theme.secondaryText
                        }
                        Label {
                            text: "3. Paste the key below and click Save Key"
                            font.pixelSize: Theme.caption
                            color: Theme.secondaryText
                        }
                    }
                    RowLayout {
                        spacing: 8
                        TextField {
                            id: apiKeyField
                            objectName: "apiKeyField"
                            placeholderText: "sk-..."
                            echoMode: settings.showAPIKey ? TextInput.Normal : TextInput.Password
                            Layout.fillWidth: true
                            Accessible.name: "API Key"
                            Accessible.passwordEdit: !settings.showAPIKey
                        }
                        ToolButton {
                            id: showKeyButton
                            objectName: "showKeyButton"
                            flat: true
                            Accessible.name: settings.showAPIKey ? "Hide key" : "Show key"
                            Accessible.onPressAction: showKeyButton.clicked()
                            ToolTip.visible: hovered
                            ToolTip.delay: 600
                            ToolTip.text: settings.showAPIKey ? "Hide key" : "Show key"
                            contentItem: SymbolIcon {
                                name: settings.showAPIKey ? "eye.slash" : "eye"
                                size: Theme.body + 5
                                color: Theme.secondaryText
                            }
                            onClicked: settings.showAPIKey = !settings.showAPIKey
                        }
                    }
                    RowLayout {
                        ActionButton {
                            objectName: "saveKeyButton"
                            text: "Save Key"
                            prominent: true
                            controlSize: "small"
                            busy: APIKeyManager.isValidating
                            enabled: settings.apiKeyInput.length > 0 && !APIKeyManager.isValidating
                            onClicked: APIKeyManager.validateAndSaveKey(settings.apiKeyInput)
                        }
                        Item { Layout.fillWidth: true }
                        LinkButton {
                            objectName: "getApiKeyLink"
                            text: "Get an API key"
                            onClicked: Qt.openUrlExternally(settings.apiKeysPageUrl)
                        }
                    }
                    Label {
                        objectName: "keyError"
                        visible: APIKeyManager.validationError !== ""
                        text: APIKeyManager.validationError
                        font.pixelSize: Theme.caption
                        color: Theme.red
                        wrapMode: Text.Wrap
                        Layout.fillWidth: true
                        Accessible.role: Accessible.AlertMessage
                    }
                }
            }
        }
    }

    // Keyboard shortcut
    ColumnLayout {
        spacing: 12
        Layout.fillWidth: true
        RowLayout {
            SectionHeader { symbol: "keyboard"; title: "Keyboard Shortcut" }
            Item { Layout.fillWidth: true }
            LinkButton {
                objectName: "resetShortcutButton"
                Accessible.role: Accessible.Button
                visible: HotkeyManager.currentShortcut.keyCode !== ShortcutKeys.defaultShortcut.keyCode
                         || HotkeyManager.currentShortcut.modifiers !== ShortcutKeys.defaultShortcut.modifiers
                text: "Reset to Default"
                onClicked: HotkeyManager.updateShortcut(ShortcutKeys.defaultShortcut)
            }
        }
        ShortcutRecorderView {
            id: recorder
            Layout.fillWidth: true
        }
        Label {
            objectName: "shortcutUnavailableHint"
            // The desktop refuses keys another program holds (Alt+Space is often the window
            // menu), and a Wayland session grants no global keys at all.
            visible: !recorder.isRecording && !HotkeyManager.isRegistered
            text: DesktopSettings.isWayland
                  ? "Global shortcuts are not available under Wayland. Bind the command "
                    + "\"voxendo toggle\" to a key in your desktop's keyboard settings."
                  : "This shortcut is not active: another application or the desktop already "
                    + "uses it. Record a different one."
            font.pixelSize: Theme.caption
            color: Theme.orange
            wrapMode: Text.Wrap
            Layout.fillWidth: true
        }
    }

    // Start at login
    ColumnLayout {
        spacing: 12
        Layout.fillWidth: true
        SectionHeader { symbol: "power"; title: "Startup" }
        Card {
            Layout.fillWidth: true
            contentItem: ColumnLayout {
                spacing: 6
                RowLayout {
                    spacing: 8
                    Layout.fillWidth: true
                    ColumnLayout {
                        spacing: 2
                        Layout.fillWidth: true
                        Label {
                            text: "Start at login"
                            font.pixelSize: Theme.subheadline
                            font.weight: Font.Medium
                            Layout.fillWidth: true
                        }
                        Label {
                            text: "Voxendo starts in the tray when you log in."
                            font.pixelSize: Theme.caption
                            color: Theme.secondaryText
                            wrapMode: Text.Wrap
                            Layout.fillWidth: true
                        }
                    }
                    Switch {
                        id: startAtLoginSwitch
                        objectName: "startAtLoginSwitch"
                        checked: AutostartManager.startAtLogin
                        Accessible.name: "Start at login"
                        Accessible.onToggleAction: startAtLoginSwitch.click()
                        Accessible.onPressAction: startAtLoginSwitch.click()
                        // The switch follows the entry: a failed write springs it back.
                        onToggled: {
                            AutostartManager.startAtLogin = checked
                            checked = Qt.binding(() => AutostartManager.startAtLogin)
                        }
                    }
                }
                Label {
                    objectName: "startAtLoginError"
                    visible: AutostartManager.lastError !== ""
                    text: AutostartManager.lastError
                    font.pixelSize: Theme.caption
                    color: Theme.red
                    wrapMode: Text.Wrap
                    Layout.fillWidth: true
                }
            }
        }
    }

    // Permissions
    ColumnLayout {
        id: permissionsSection
        objectName: "permissionsSection"
        spacing: 12
        Layout.fillWidth: true
        onYChanged: settings.tryReveal()
        SectionHeader { symbol: "lock.shield"; title: "Permissions" }
        Card {
            Layout.fillWidth: true
            topPadding: 8
            bottomPadding: 8
            contentItem: ColumnLayout {
                spacing: 0
                PermissionRow {
                    icon: "mic.fill"
                    title: "Microphone"
                    description: "Required to record your voice"
                    buttonObjectName: "microphoneSettingsButton"
                    onAction: {
                        if (!DesktopSettings.openSoundSettings())
                            soundHelpDialog.open()
                    }
                }
                Rectangle {
                    implicitHeight: 1
                    color: Theme.separator
                    Layout.fillWidth: true
                    Layout.leftMargin: 46
                }
                PermissionRow {
                    icon: "hand.raised.fill"
                    title: "Accessibility"
                    description: "Required to paste text into apps"
                    buttonObjectName: "accessibilitySettingsButton"
                    onAction: inputHelpDialog.open()
                }
            }
        }
    }

    // About
    ColumnLayout {
        spacing: 12
        Layout.fillWidth: true
        SectionHeader { symbol: "info.circle"; title: "About" }
        Card {
            Layout.fillWidth: true
            contentItem: ColumnLayout {
                spacing: 8
                RowLayout {
                    Layout.fillWidth: true
                    Label { text: "Version"; font.pixelSize: Theme.body }
                    Item { Layout.fillWidth: true }
                    Label {
                        objectName: "versionLabel"
                        text: Qt.application.version !== "" ? Qt.application.version : "Unknown"
                        font.pixelSize: Theme.body
                        color: Theme.secondaryText
                    }
                }
                Rectangle { implicitHeight: 1; color: Theme.separator; Layout.fillWidth: true }
                RowLayout {
                    Layout.fillWidth: true
                    Label { text: "Check for Updates"; font.pixelSize: Theme.body }
                    Item { Layout.fillWidth: true }
                    ActionButton {
                        objectName: "checkNowButton"
                        text: "Check Now"
                        enabled: Updater.canCheckForUpdates
                        onClicked: Updater.checkForUpdates()
                    }
                }
                Rectangle { implicitHeight: 1; color: Theme.separator; Layout.fillWidth: true }
                RowLayout {
                    Layout.fillWidth: true
                    Label { text: "Website"; font.pixelSize: Theme.body }
                    Item { Layout.fillWidth: true }
                    LinkButton {
                        objectName: "websiteLink"
                        text: settings.websiteDomain
                        font.pixelSize: Theme.body
                        onClicked: Qt.openUrlExternally("https://" + settings.websiteDomain + "/")
                    }
                }
            }
        }
    }

    Dialog {
        id: removeKeyDialog
        objectName: "removeKeyDialog"
        title: "Remove API Key"
        modal: true
        anchors.centerIn: Overlay.overlay
        padding: 20
        footer: DialogButtonBox {
            ActionButton {
                objectName: "cancelRemoveKeyButton"
                text: "Cancel"
                DialogButtonBox.buttonRole: DialogButtonBox.RejectRole
            }
            ActionButton {
                objectName: "confirmRemoveKeyButton"
                text: "Remove"
                prominent: true
                tint: Theme.red
                DialogButtonBox.buttonRole: DialogButtonBox.DestructiveRole
                onClicked: {
                    APIKeyManager.deleteKey()
                    removeKeyDialog.close()
                }
            }
        }
    }

    HelpDialog {
        id: soundHelpDialog
        objectName: "soundHelpDialog"
        title: "Microphone"
        text: "Voxendo records from the desktop's default input device. No sound settings program "
              + "was found to open here: choose the microphone and its level in your desktop's "
              + "sound settings (for example GNOME Settings → Sound, KDE System Settings → Audio, "
              + "or the PulseAudio Volume Control, <i>pavucontrol</i>), and make sure it is not muted."
    }

    HelpDialog {
        id: inputHelpDialog
        objectName: "inputHelpDialog"
        title: "Pasting into other applications"
        text: DesktopSettings.isWayland
              ? "Under Wayland an application may not type into other windows or listen for a "
                + "global shortcut. Bind the command <b>voxendo toggle</b> to a key in your "
                + "desktop's keyboard settings; when a transcription is ready Voxendo leaves it "
                + "on the clipboard, and you paste it with <b>Ctrl+V</b>."
              : "Voxendo pastes a transcription by sending <b>Ctrl+V</b> to the focused "
                + "application through the X server's XTest extension. X11 needs no permission "
                + "for this. If the text does not appear, it is still on the clipboard: paste it "
                + "with <b>Ctrl+V</b>."
    }
}

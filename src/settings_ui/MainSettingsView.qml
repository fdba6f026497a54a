import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

// The settings window's root view: a loading screen while the backend configuration is fetched,
// then the sidebar with the Home, Account and Settings tabs beside the selected tab.
Control {
    id: root
    objectName: "mainSettingsView"

    // "home", "account" or "settings"; every new root view starts on Home.
    property string selectedTab: "home"
    // Set by a permissions request; the next Settings tab consumes it.
    property bool revealPermissions: false

    readonly property var tabs: [
        { key: "home", title: "Home", symbol: "house.fill" },
        { key: "account", title: "Account", symbol: "person.circle.fill" },
        { key: "settings", title: "Settings", symbol: "gearshape.fill" }
    ]

    implicitWidth: 800
    implicitHeight: 600
    padding: 0
    background: Rectangle { color: Theme.windowBackground }

    // Every control below takes its colours from the desktop's palette as it is now, so a
    // switch between light and dark while the window is open repaints all of it alike.
    palette.active.alternateBase: Theme.palette.alternateBase
    palette.active.base: Theme.palette.base
    palette.active.button: Theme.palette.button
    palette.active.buttonText: Theme.palette.buttonText
    palette.active.dark: Theme.palette.dark
    palette.active.highlight: Theme.palette.highlight
    palette.active.highlightedText: Theme.palette.highlightedText
    palette.active.light: Theme.palette.light
    palette.active.mid: Theme.palette.mid
    palette.active.midlight: Theme.palette.midlight
    palette.active.placeholderText: Theme.palette.placeholderText
    palette.active.shadow: Theme.palette.shadow
    palette.active.text: Theme.palette.text
    palette.active.window: Theme.palette.window
    palette.active.windowText: Theme.palette.windowText
    palette.inactive.alternateBase: Theme.palette.alternateBase
    palette.inactive.base: Theme.palette.base
    palette.inactive.button: Theme.palette.button
    palette.inactive.buttonText: Theme.palette.buttonText
    palette.inactive.dark: Theme.palette.dark
    palette.inactive.highlight: Theme.palette.highlight
    palette.inactive.highlightedText: Theme.palette.highlightedText
    palette.inactive.light: Theme.palette.light
    palette.inactive.mid: Theme.palette.mid
    palette.inactive.midlight: Theme.palette.midlight
    palette.inactive.placeholderText: Theme.palette.placeholderText
    palette.inactive.shadow: Theme.palette.shadow
    palette.inactive.text: Theme.palette.text
    palette.inactive.window: Theme.palette.window
    palette.inactive.windowText: Theme.palette.windowText
    palette.disabled.alternateBase: Theme.disabledPalette.alternateBase
    palette.disabled.base: Theme.disabledPalette.base
    palette.disabled.button: Theme.disabledPalette.button
    palette.disabled.buttonText: Theme.disabledPalette.buttonText
    palette.disabled.dark: Theme.disabledPalette.dark
    palette.disabled.highlight: Theme.disabledPalette.highlight
    palette.disabled.highlightedText: Theme.disabledPalette.highlightedText
    palette.disabled.light: Theme.disabledPalette.light
    palette.disabled.mid: Theme.disabledPalette.mid
    palette.disabled.midlight: Theme.disabledPalette.midlight
    palette.disabled.placeholderText: Theme.disabledPalette.placeholderText
    palette.disabled.shadow: Theme.disabledPalette.shadow
    palette.disabled.text: Theme.disabledPalette.text
    palette.disabled.window: Theme.disabledPalette.window
    palette.disabled.windowText: Theme.disabledPalette.windowText

    // The application menu's Quit; SettingsWindow ends the application.
    signal quitRequested()
    Shortcut {
        // Spelled out: StandardKey.Quit is empty under desktops with a Windows-like key scheme.
        sequence: "Ctrl+Q"
        context: Qt.WindowShortcut
        onActivated: root.quitRequested()
    }

    // Heard during loading too, so a request made then decides the tab the split view opens on.
    Connections {
        target: NavigationCenter
        function onNavigateToAccount() { root.selectedTab = "account" }
        function onShowPermissions() {
            root.revealPermissions = true
            root.selectedTab = "settings"
            const page = content.item ? content.item.tabPage : null
            if (page && page.revealPermissionsNow)
                page.revealPermissionsNow()
        }
    }

    contentItem: Loader {
        id: content
        sourceComponent: AuthManager.isConfiguring ? loadingScreen : splitView
    }

    Component {
        id: loadingScreen
        Item {
            objectName: "loadingScreen"
            ColumnLayout {
                anchors.centerIn: parent
                spacing: 16
                BusyIndicator {
                    running: true
                    Layout.alignment: Qt.AlignHCenter
                    Layout.preferredWidth: 48
                    Layout.preferredHeight: 48
                    Accessible.name: "Loading..."
                }
                Label {
                    objectName: "loadingText"
                    text: "Loading..."
                    font.pixelSize: Theme.headline
                    font.weight: Font.DemiBold
                    color: Theme.secondaryText
                    Layout.alignment: Qt.AlignHCenter
                }
            }
        }
    }

    Component {
        id: splitView
        SplitView {
            objectName: "splitView"
            orientation: Qt.Horizontal
            readonly property alias tabPage: tabLoader.item

            // A hairline between the columns, with a wider strip to grab.
            handle: Rectangle {
                implicitWidth: 1
                color: Theme.separator
                containmentMask: Item {
                    x: -3
                    width: 7
                    height: parent ? parent.height : 0
                }
            }

            Rectangle {
                objectName: "sidebar"
                color: Theme.sidebarBackground
                SplitView.minimumWidth: 180
                SplitView.preferredWidth: 200
                SplitView.maximumWidth: 320
                Accessible.role: Accessible.PageTabList
                Accessible.name: "Sections"

                Column {
                    anchors.fill: parent
                    anchors.margins: 10
                    anchors.topMargin: 14
                    spacing: 2
                    Repeater {
                        model: root.tabs
                        SidebarRow {
                            required property var modelData
                            objectName: "sidebar" + modelData.title
                            width: parent.width
                            text: modelData.title
                            symbol: modelData.symbol
                            selected: root.selectedTab === modelData.key
                            onClicked: root.selectedTab = modelData.key
                        }
                    }
                }
            }

            // A tab's view is made afresh each time it is selected, so its typed text and
            // toggles start over; what it stored in the managers stays.
            Loader {
                id: tabLoader
                objectName: "tabContent"
                SplitView.fillWidth: true
                SplitView.minimumWidth: 420
                sourceComponent: root.selectedTab === "account" ? accountTab
                               : root.selectedTab === "settings" ? settingsTab : homeTab
            }
        }
    }

    Component { id: homeTab; HomeView {} }
    Component { id: accountTab; AccountView {} }
    Component {
        id: settingsTab
        SettingsView {
            Component.onCompleted: {
                if (root.revealPermissions)
                    revealPermissionsNow()
            }
            onPermissionsRevealed: root.revealPermissions = false
        }
    }
}

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
Pane {
    width: 800; height: 600
    RowLayout {
        anchors.fill: parent
        ListView { Layout.preferredWidth: 200; Layout.fillHeight: true; model: ["Home", "Account", "Settings"]
                   delegate: ItemDelegate { text: modelData; width: 200 } }
        ColumnLayout {
            Label { text: "Ready"; font.bold: true }
            TextField { placeholderText: "Email" }
            TextField { placeholderText: "Password"; echoMode: TextInput.Password }
            Button { text: "Sign In" }
            Switch { text: "Start at login" }
            ComboBox { model: ["English", "Deutsch", "Français"] }
            BusyIndicator { running: false }
        }
    }
}

import QtQuick
import QtQuick.Controls
import QtQuick.Layouts
import Voxendo

RowLayout {
    property string symbol
    property string title

    spacing: 6
    SymbolIcon {
        name: parent.symbol
        size: Theme.headline + 2
    }
    Label {
        text: parent.title
        font.pixelSize: Theme.headline
        font.weight: Font.DemiBold
        Accessible.role: Accessible.Heading
    }
}

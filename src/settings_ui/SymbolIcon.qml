import QtQuick
import Voxendo

// One symbol from the icon table. Purely decorative: hidden from assistive technology.
Text {
    property string name
    property int size: Theme.body

    text: SymbolIcons.available ? SymbolIcons.glyph(name) : ""
    font.family: SymbolIcons.family
    font.pixelSize: size
    color: Theme.text
    horizontalAlignment: Text.AlignHCenter
    verticalAlignment: Text.AlignVCenter
    Accessible.ignored: true
}

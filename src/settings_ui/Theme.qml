pragma Singleton
import QtQuick

// Colours and text sizes of the settings window. Surfaces and text come from the desktop's
// palette, so the window is light or dark with the desktop; only the accent colours are fixed,
// each in a light and a dark variant.
QtObject {
    readonly property SystemPalette palette: SystemPalette { colorGroup: SystemPalette.Active }
    readonly property SystemPalette disabledPalette: SystemPalette { colorGroup: SystemPalette.Disabled }
    readonly property bool dark: palette.window.hslLightness < 0.5

    readonly property color windowBackground: palette.window
    // Cards: the entry-field colour on light desktops (white); on dark ones a raised shade of
    // the window, so that entry fields, which dark palettes draw darker than the window, still
    // stand out from the card they sit on.
    readonly property color controlBackground: dark ? Qt.lighter(palette.window, 1.25) : palette.base
    readonly property color text: palette.windowText
    readonly property color secondaryText: Qt.rgba(text.r, text.g, text.b, 0.62)
    readonly property color separator: Qt.rgba(text.r, text.g, text.b, 0.14)
    readonly property color sidebarBackground: dark ? Qt.darker(palette.window, 1.12)
                                                    : Qt.darker(palette.window, 1.03)

    readonly property color blue: dark ? "#0a84ff" : "#007aff"
    readonly property color red: dark ? "#ff453a" : "#ff3b30"
    readonly property color orange: dark ? "#ff9f0a" : "#ff9500"
    readonly property color green: dark ? "#30d158" : "#34c759"
    readonly property color gray: dark ? "#98989d" : "#8e8e93"
    // Blue as text on the window background; the plain accent is a little light for that.
    readonly property color link: dark ? "#409cff" : "#0064d2"

    function withAlpha(c, alpha) { return Qt.rgba(c.r, c.g, c.b, alpha) }

    // Text styles in pixels, scaled with the desktop's font size (10 pt is the reference).
    readonly property real scale: Qt.application.font.pointSize > 0
                                  ? Math.max(0.8, Qt.application.font.pointSize / 10) : 1
    readonly property int largeTitle: Math.round(26 * scale)
    readonly property int title2: Math.round(19 * scale)
    readonly property int title3: Math.round(16 * scale)
    readonly property int headline: Math.round(14 * scale)
    readonly property int body: Math.round(13 * scale)
    readonly property int subheadline: Math.round(12 * scale)
    readonly property int caption: Math.round(11 * scale)
}

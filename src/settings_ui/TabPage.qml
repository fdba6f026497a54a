import QtQuick
import QtQuick.Controls
import QtQuick.Layouts

// The scrolling page of one tab: a column of sections, 24 px apart and 24 px from the edges.
Flickable {
    id: page
    default property alias content: column.data
    property alias column: column

    clip: true
    contentWidth: width
    contentHeight: column.implicitHeight + 2 * column.y
    boundsBehavior: Flickable.StopAtBounds
    ScrollBar.vertical: ScrollBar { objectName: "pageScrollBar" }

    // Scrolls so that `item` (a child of the column) starts at the top, or as near as possible.
    function reveal(item) {
        contentY = Math.max(0, Math.min(column.y + item.y - 12, contentHeight - height))
    }

    ColumnLayout {
        id: column
        x: 24
        y: 24
        width: page.width - 2 * x
        spacing: 24
    }
}

#include "settings_ui/textcounter.h"

#include <QJSEngine>
#include <QTextBoundaryFinder>

namespace voxendo {

TextCounter *TextCounter::shared()
{
    static TextCounter *instance = new TextCounter;
    return instance;
}

TextCounter *TextCounter::create(QQmlEngine *, QJSEngine *)
{
    TextCounter *instance = shared();
    QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
    return instance;
}

int TextCounter::characterCount(const QString &text)
{
    QTextBoundaryFinder finder(QTextBoundaryFinder::Grapheme, text);
    int count = 0;
    while (finder.toNextBoundary() > 0)
        ++count;
    return count;
}

} // namespace voxendo

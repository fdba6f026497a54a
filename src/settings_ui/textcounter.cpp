#include "settings_ui/textcounter.h"

#include "common/text.h"

#include <QJSEngine>

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
    return int(Text::characterCount(text));
}

} // namespace voxendo

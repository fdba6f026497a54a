#pragma once

#include <QString>

namespace voxendo::Text {

// Characters as a reader counts them (grapheme clusters): "é" written as e + combining accent,
// an emoji with its modifiers and a CR LF pair each count once.
qsizetype characterCount(const QString &text);

// The first `count` characters in that sense, never splitting one.
QString leftCharacters(const QString &text, qsizetype count);

} // namespace voxendo::Text

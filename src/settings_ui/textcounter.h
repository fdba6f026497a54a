#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;

namespace voxendo {

// Text lengths as a person counts them. QML's string length counts UTF-16 units, so "é" typed
// as e + combining accent, or an emoji, would count twice; rules shown to the user (a password
// of at least six characters) count user-perceived characters instead.
class TextCounter : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    static TextCounter *shared();
    static TextCounter *create(QQmlEngine *, QJSEngine *);

    // The number of grapheme clusters in `text`.
    Q_INVOKABLE static int characterCount(const QString &text);

private:
    // Not default-constructible on purpose: QML would then make an instance per engine instead
    // of calling create().
    TextCounter() = default;
};

} // namespace voxendo

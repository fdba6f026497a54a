#pragma once

#include "shortcut/hotkeyshortcut.h"

#include <QObject>
#include <QStringList>
#include <QtQmlIntegration/qqmlintegration.h>

namespace voxendo {

// The shortcut tables for QML views (the shortcut recorder): QML cannot call the value type's
// static functions or build one from numbers by itself.
class ShortcutKeys : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(voxendo::HotkeyShortcut defaultShortcut READ defaultShortcut CONSTANT)

public:
    using QObject::QObject;

    static HotkeyShortcut defaultShortcut() { return HotkeyShortcut::defaultShortcut(); }

    Q_INVOKABLE static voxendo::HotkeyShortcut shortcut(quint32 keyCode, quint32 modifiers);
    Q_INVOKABLE static QStringList modifierNames(quint32 mask);
    // `modifiers` as a KeyEvent reports them (Qt::KeyboardModifiers).
    Q_INVOKABLE static quint32 carbonModifiers(int modifiers);
    // The macOS key code of a KeyEvent (key, modifiers, nativeScanCode), or -1 for a modifier
    // key alone or a key the shortcut cannot use.
    Q_INVOKABLE static qint64 keyCodeForKeyEvent(int key, int modifiers, quint32 nativeScanCode);
};

} // namespace voxendo

#include "shortcut/shortcutkeys.h"

#include "shortcut/keytables.h"

namespace voxendo {

HotkeyShortcut ShortcutKeys::shortcut(quint32 keyCode, quint32 modifiers)
{
    return {keyCode, modifiers};
}

QStringList ShortcutKeys::modifierNames(quint32 mask)
{
    return HotkeyShortcut::modifierNames(mask);
}

quint32 ShortcutKeys::carbonModifiers(int modifiers)
{
    return HotkeyShortcut::carbonModifiers(Qt::KeyboardModifiers::fromInt(modifiers));
}

qint64 ShortcutKeys::keyCodeForKeyEvent(int key, int modifiers, quint32 nativeScanCode)
{
    const std::optional<quint32> code =
        keytables::keyCodeForKeyEvent(key, Qt::KeyboardModifiers::fromInt(modifiers), nativeScanCode);
    return code ? qint64(*code) : -1;
}

} // namespace voxendo

#pragma once

#include <QHash>
#include <QJsonObject>
#include <QMetaType>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QtQmlIntegration/qqmlintegration.h>
#include <optional>

class QSettings;

namespace voxendo {

// The global shortcut: one key plus modifiers, kept in macOS units everywhere (memory, settings
// file, QML) so stored values and the key-name table mean the same on every platform. Each
// hot-key backend translates to its own terms through shortcut/keytables.h.
struct HotkeyShortcut
{
    Q_GADGET
    QML_VALUE_TYPE(hotkeyShortcut)
    Q_PROPERTY(quint32 keyCode MEMBER keyCode)
    Q_PROPERTY(quint32 modifiers MEMBER modifiers)

public:
    // Carbon modifier mask bits.
    static constexpr quint32 cmdKey = 256;
    static constexpr quint32 shiftKey = 512;
    static constexpr quint32 optionKey = 2048;
    static constexpr quint32 controlKey = 4096;

    // Settings keys.
    static constexpr const char *keyCodeSetting = "hotkeyKeyCode";
    static constexpr const char *modifiersSetting = "hotkeyModifiers";

    quint32 keyCode = 0;   // macOS virtual key code (kVK_*)
    quint32 modifiers = 0; // Carbon modifier mask

    static HotkeyShortcut defaultShortcut() { return {49, optionKey}; } // Option + Space

    // Key code -> the name shown for it (74 keys of the US layout).
    static const QHash<quint32, QString> &keyNames();
    // F1 to F12: the only keys acceptable without a modifier.
    static const QSet<quint32> &functionKeyCodes();

    // The stored shortcut, or none when nothing usable is stored: no "hotkeyKeyCode" entry, or a
    // value that is not an integer in 0..4294967295 (callers then use defaultShortcut()).
    // An absent "hotkeyModifiers" next to a key code reads as no modifiers.
    static std::optional<HotkeyShortcut> load(const QSettings &settings);
    // Writes both entries, key code first, and syncs them to disk at once.
    void save(QSettings &settings) const;

    Q_INVOKABLE QStringList displayParts() const;
    Q_INVOKABLE QString displayString() const; // displayParts() joined with " + "
    Q_INVOKABLE bool isValid() const;
    static QStringList modifierNames(quint32 mask);
    // Only Shift, Control, Alt and Meta (Super) count; keypad, group switch and the like are ignored.
    static quint32 carbonModifiers(Qt::KeyboardModifiers flags);

    // Keyed record {"keyCode", "modifiers"}; a record lacking either key, or holding a value
    // that does not fit in 32 unsigned bits, does not decode.
    QJsonObject toJson() const;
    static std::optional<HotkeyShortcut> fromJson(const QJsonObject &object);

    friend bool operator==(const HotkeyShortcut &, const HotkeyShortcut &) = default;
};

} // namespace voxendo

Q_DECLARE_METATYPE(voxendo::HotkeyShortcut)

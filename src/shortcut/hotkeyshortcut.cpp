#include "shortcut/hotkeyshortcut.h"

#include "shortcut/keytables.h"

#include <QJsonValue>
#include <QSettings>
#include <cmath>
#include <limits>

namespace voxendo {

namespace {

constexpr qint64 maxUInt32 = std::numeric_limits<quint32>::max();

std::optional<quint32> inUInt32Range(qint64 value)
{
    if (value < 0 || value > maxUInt32)
        return std::nullopt;
    return quint32(value);
}

std::optional<quint32> fromDouble(double value)
{
    if (!std::isfinite(value) || std::trunc(value) != value || value < 0 || value > double(maxUInt32))
        return std::nullopt;
    return quint32(value);
}

// A settings value as an unsigned 32-bit integer. INI files hand back strings; a value written
// in this process comes back as its own type. Anything else (text, fractions, out of range) is
// not a usable key code or mask.
std::optional<quint32> settingToUInt32(const QVariant &value)
{
    switch (value.typeId()) {
    case QMetaType::Int:
    case QMetaType::Short:
    case QMetaType::Long:
    case QMetaType::LongLong:
        return inUInt32Range(value.toLongLong());
    case QMetaType::UInt:
    case QMetaType::UShort:
    case QMetaType::ULong:
    case QMetaType::ULongLong: {
        const qulonglong v = value.toULongLong();
        return v > qulonglong(maxUInt32) ? std::nullopt : std::optional<quint32>(quint32(v));
    }
    case QMetaType::Double:
    case QMetaType::Float:
        return fromDouble(value.toDouble());
    case QMetaType::QString:
    case QMetaType::QByteArray: {
        bool ok = false;
        const qlonglong v = value.toString().trimmed().toLongLong(&ok, 10);
        return ok ? inUInt32Range(v) : std::nullopt;
    }
    default:
        return std::nullopt;
    }
}

} // namespace

const QHash<quint32, QString> &HotkeyShortcut::keyNames()
{
    static const QHash<quint32, QString> names = {
        // Letters
        {0, QStringLiteral("A")}, {11, QStringLiteral("B")}, {8, QStringLiteral("C")},
        {2, QStringLiteral("D")}, {14, QStringLiteral("E")}, {3, QStringLiteral("F")},
        {5, QStringLiteral("G")}, {4, QStringLiteral("H")}, {34, QStringLiteral("I")},
        {38, QStringLiteral("J")}, {40, QStringLiteral("K")}, {37, QStringLiteral("L")},
        {46, QStringLiteral("M")}, {45, QStringLiteral("N")}, {31, QStringLiteral("O")},
        {35, QStringLiteral("P")}, {12, QStringLiteral("Q")}, {15, QStringLiteral("R")},
        {1, QStringLiteral("S")}, {17, QStringLiteral("T")}, {32, QStringLiteral("U")},
        {9, QStringLiteral("V")}, {13, QStringLiteral("W")}, {7, QStringLiteral("X")},
        {16, QStringLiteral("Y")}, {6, QStringLiteral("Z")},
        // Digits
        {29, QStringLiteral("0")}, {18, QStringLiteral("1")}, {19, QStringLiteral("2")},
        {20, QStringLiteral("3")}, {21, QStringLiteral("4")}, {23, QStringLiteral("5")},
        {22, QStringLiteral("6")}, {26, QStringLiteral("7")}, {28, QStringLiteral("8")},
        {25, QStringLiteral("9")},
        // Named keys
        {49, QStringLiteral("Space")}, {36, QStringLiteral("Return")}, {48, QStringLiteral("Tab")},
        {51, QStringLiteral("Delete")}, {117, QStringLiteral("Forward Delete")},
        {53, QStringLiteral("Escape")}, {76, QStringLiteral("Enter")},
        // Punctuation; the minus key shows U+2212 MINUS SIGN, not the hyphen.
        {27, QStringLiteral("\u2212")}, {24, QStringLiteral("=")}, {33, QStringLiteral("[")},
        {30, QStringLiteral("]")}, {42, QStringLiteral("\\")}, {41, QStringLiteral(";")},
        {39, QStringLiteral("'")}, {43, QStringLiteral(",")}, {47, QStringLiteral(".")},
        {44, QStringLiteral("/")}, {50, QStringLiteral("`")},
        // Arrows
        {123, QStringLiteral("\u2190")}, {124, QStringLiteral("\u2192")},
        {125, QStringLiteral("\u2193")}, {126, QStringLiteral("\u2191")},
        // Navigation
        {115, QStringLiteral("Home")}, {119, QStringLiteral("End")},
        {116, QStringLiteral("Page Up")}, {121, QStringLiteral("Page Down")},
        // Function keys
        {122, QStringLiteral("F1")}, {120, QStringLiteral("F2")}, {99, QStringLiteral("F3")},
        {118, QStringLiteral("F4")}, {96, QStringLiteral("F5")}, {97, QStringLiteral("F6")},
        {98, QStringLiteral("F7")}, {100, QStringLiteral("F8")}, {101, QStringLiteral("F9")},
        {109, QStringLiteral("F10")}, {103, QStringLiteral("F11")}, {111, QStringLiteral("F12")},
    };
    return names;
}

const QSet<quint32> &HotkeyShortcut::functionKeyCodes()
{
    static const QSet<quint32> codes = {122, 120, 99, 118, 96, 97, 98, 100, 101, 109, 103, 111};
    return codes;
}

std::optional<HotkeyShortcut> HotkeyShortcut::load(const QSettings &settings)
{
    const QVariant storedKey = settings.value(QLatin1String(keyCodeSetting));
    if (!storedKey.isValid())
        return std::nullopt;
    const std::optional<quint32> key = settingToUInt32(storedKey);
    const QVariant storedModifiers = settings.value(QLatin1String(modifiersSetting));
    const std::optional<quint32> mods =
        storedModifiers.isValid() ? settingToUInt32(storedModifiers) : std::optional<quint32>(0);
    // A value that cannot be a key code or mask (hand-edited, or written by something else)
    // must not become a half-right shortcut: use none, so the caller falls back to the default.
    if (!key || !mods)
        return std::nullopt;
    return HotkeyShortcut{*key, *mods};
}

void HotkeyShortcut::save(QSettings &settings) const
{
    settings.setValue(QLatin1String(keyCodeSetting), keyCode);
    settings.setValue(QLatin1String(modifiersSetting), modifiers);
    // The shared managers are never destroyed, so nothing would flush this at exit.
    settings.sync();
}

QStringList HotkeyShortcut::modifierNames(quint32 mask)
{
    QStringList names;
    if (mask & controlKey)
        names << QStringLiteral("Control");
    if (mask & optionKey)
        names << QStringLiteral("Option");
    if (mask & shiftKey)
        names << QStringLiteral("Shift");
    if (mask & cmdKey)
        names << QStringLiteral("Cmd");
    return names;
}

QStringList HotkeyShortcut::displayParts() const
{
    QStringList parts = modifierNames(modifiers);
    const auto name = keyNames().constFind(keyCode);
    parts << (name != keyNames().cend() ? *name : QStringLiteral("Key") + QString::number(keyCode));
    return parts;
}

QString HotkeyShortcut::displayString() const
{
    return displayParts().join(QStringLiteral(" + "));
}

bool HotkeyShortcut::isValid() const
{
    return modifiers != 0 || functionKeyCodes().contains(keyCode);
}

quint32 HotkeyShortcut::carbonModifiers(Qt::KeyboardModifiers flags)
{
    return keytables::carbonFromQt(flags);
}

QJsonObject HotkeyShortcut::toJson() const
{
    return QJsonObject{{QStringLiteral("keyCode"), qint64(keyCode)},
                       {QStringLiteral("modifiers"), qint64(modifiers)}};
}

std::optional<HotkeyShortcut> HotkeyShortcut::fromJson(const QJsonObject &object)
{
    const QJsonValue key = object.value(QStringLiteral("keyCode"));
    const QJsonValue mods = object.value(QStringLiteral("modifiers"));
    if (!key.isDouble() || !mods.isDouble())
        return std::nullopt;
    const std::optional<quint32> k = fromDouble(key.toDouble());
    const std::optional<quint32> m = fromDouble(mods.toDouble());
    if (!k || !m)
        return std::nullopt;
    return HotkeyShortcut{*k, *m};
}

} // namespace voxendo

#include "settings_ui/symbolicons.h"

#include <QFile>
#include <QFontDatabase>
#include <QHash>
#include <QJSEngine>

namespace voxendo {

namespace {

// Symbol name used by the views -> code point in the Material Design Icons font (version 1.6
// as Debian ships it; the icon's own name is in the comment).
const QHash<QString, char32_t> &table()
{
    static const QHash<QString, char32_t> symbols = {
        {QStringLiteral("house.fill"), 0xF2DC},                               // home
        {QStringLiteral("person.circle.fill"), 0xF009},                       // account-circle
        {QStringLiteral("gearshape.fill"), 0xF493},                           // settings
        {QStringLiteral("mic.fill"), 0xF36C},                                 // microphone
        {QStringLiteral("mic.circle.fill"), 0xF36C},                          // microphone
        {QStringLiteral("waveform.circle.fill"), 0xF5CB},                     // voice
        {QStringLiteral("keyboard"), 0xF30C},                                 // keyboard
        {QStringLiteral("text.cursor"), 0xF5E7},                              // cursor-text
        {QStringLiteral("exclamationmark.triangle.fill"), 0xF026},            // alert
        {QStringLiteral("info.circle.fill"), 0xF2FC},                         // information
        {QStringLiteral("info.circle"), 0xF2FD},                              // information-outline
        {QStringLiteral("person.crop.circle.badge.exclamationmark"), 0xF005}, // account-alert
        {QStringLiteral("person.fill"), 0xF004},                              // account
        {QStringLiteral("person.crop.circle.fill"), 0xF009},                  // account-circle
        {QStringLiteral("person.crop.circle.badge.plus"), 0xF014},            // account-plus
        {QStringLiteral("rectangle.portrait.and.arrow.right"), 0xF343},       // logout
        {QStringLiteral("globe"), 0xF59F},                                    // web
        {QStringLiteral("key.fill"), 0xF306},                                 // key
        {QStringLiteral("checkmark.circle.fill"), 0xF5E0},                    // check-circle
        {QStringLiteral("eye"), 0xF208},                                      // eye
        {QStringLiteral("eye.slash"), 0xF209},                                // eye-off
        {QStringLiteral("lock.shield"), 0xF483},                              // security
        {QStringLiteral("hand.raised.fill"), 0xF2C7},                         // hand-pointing-right
        {QStringLiteral("power"), 0xF425},                                    // power
        {QStringLiteral("arrow.up.right.square"), 0xF3CC},                    // open-in-new
    };
    return symbols;
}

QString loadFamily(const QString &path)
{
    static const QString installed = QStringLiteral("Material Design Icons");
    if (QFile::exists(path)) {
        const int id = QFontDatabase::addApplicationFont(path);
        if (id >= 0) {
            const QStringList families = QFontDatabase::applicationFontFamilies(id);
            if (!families.isEmpty())
                return families.first();
        }
    }
    // Installed elsewhere and known to fontconfig.
    if (QFontDatabase::families().contains(installed))
        return installed;
    return {};
}

} // namespace

SymbolIcons::SymbolIcons(const QString &path, QObject *parent)
    : QObject(parent)
    , m_family(loadFamily(path))
{
}

SymbolIcons *SymbolIcons::shared()
{
    static SymbolIcons *instance = new SymbolIcons(QString::fromLatin1(fontPath));
    return instance;
}

SymbolIcons *SymbolIcons::create(QQmlEngine *, QJSEngine *)
{
    SymbolIcons *instance = shared();
    QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
    return instance;
}

char32_t SymbolIcons::codePoint(const QString &name)
{
    return table().value(name, fallbackCodePoint);
}

QString SymbolIcons::glyph(const QString &name)
{
    const char32_t code = codePoint(name);
    return QString::fromUcs4(&code, 1);
}

bool SymbolIcons::hasSymbol(const QString &name)
{
    return table().contains(name);
}

QStringList SymbolIcons::symbolNames()
{
    return table().keys();
}

} // namespace voxendo

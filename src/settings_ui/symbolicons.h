#pragma once

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;

namespace voxendo {

// The symbol names the views use, drawn from the Material Design Icons font. The one table of
// name -> glyph lives here; a name it does not know gets a visible fallback glyph rather than
// nothing, so a typo shows up on screen instead of as an empty gap.
class SymbolIcons : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    // Font family to draw glyph() with; empty when the icon font could not be loaded.
    Q_PROPERTY(QString family READ family CONSTANT)
    Q_PROPERTY(bool available READ available CONSTANT)

public:
    static constexpr const char *fontPath =
        "/usr/share/fonts/truetype/materialdesignicons-webfont/materialdesignicons-webfont.ttf";
    static constexpr char32_t fallbackCodePoint = 0xF625; // help-circle-outline

    // Loads the font (once per process) from `path`, or finds it among the installed fonts.
    explicit SymbolIcons(const QString &path, QObject *parent = nullptr);

    static SymbolIcons *shared();
    static SymbolIcons *create(QQmlEngine *, QJSEngine *);

    QString family() const { return m_family; }
    bool available() const { return !m_family.isEmpty(); }

    // The glyph of a symbol name, or the fallback glyph for a name the table lacks.
    Q_INVOKABLE static QString glyph(const QString &name);
    // Whether `name` is in the table (tests, and views that want to know).
    Q_INVOKABLE static bool hasSymbol(const QString &name);
    static QStringList symbolNames();
    static char32_t codePoint(const QString &name);

private:
    QString m_family;
};

} // namespace voxendo

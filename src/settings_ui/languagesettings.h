#pragma once

#include <QObject>
#include <QString>
#include <QVariantList>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;

namespace voxendo {

// The transcription language the user picked in the Settings tab: the list offered, and the
// "selectedLanguage" settings entry that the dictation controller reads at each transcription.
// Only the Settings tab writes the entry.
class LanguageSettings : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    // [{code, name}], in the order the picker shows them.
    Q_PROPERTY(QVariantList languages READ languages CONSTANT)

public:
    static inline const QString settingsKey = QStringLiteral("selectedLanguage");
    static inline const QString automatic = QStringLiteral("auto");

    static LanguageSettings *shared();
    static LanguageSettings *create(QQmlEngine *, QJSEngine *);

    static QVariantList languages();

    // The stored code, or "auto" when nothing (or something that is not a string) is stored.
    // A stored code that is not in the list is returned as it is.
    Q_INVOKABLE static QString storedLanguage();
    // Writes `code` and syncs it, so the next transcription uses it.
    Q_INVOKABLE static void storeLanguage(const QString &code);

private:
    // Not default-constructible on purpose: QML would then make an instance per engine instead
    // of calling create().
    LanguageSettings() = default;
};

} // namespace voxendo

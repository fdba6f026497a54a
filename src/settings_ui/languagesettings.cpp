#include "settings_ui/languagesettings.h"

#include <QJSEngine>
#include <QSettings>
#include <QVariantMap>

namespace voxendo {

LanguageSettings *LanguageSettings::shared()
{
    static LanguageSettings *instance = new LanguageSettings;
    return instance;
}

LanguageSettings *LanguageSettings::create(QQmlEngine *, QJSEngine *)
{
    LanguageSettings *instance = shared();
    QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
    return instance;
}

QVariantList LanguageSettings::languages()
{
    static const QVariantList list = [] {
        const std::pair<const char *, const char *> rows[] = {
            {"auto", "Auto-detect"}, {"en", "English"}, {"ru", "Russian"},   {"es", "Spanish"},
            {"fr", "French"},        {"de", "German"},  {"it", "Italian"},   {"pt", "Portuguese"},
            {"ja", "Japanese"},      {"ko", "Korean"},  {"zh", "Chinese"},
        };
        QVariantList result;
        for (const auto &[code, name] : rows)
            result.append(QVariantMap{{QStringLiteral("code"), QString::fromLatin1(code)},
                                      {QStringLiteral("name"), QString::fromLatin1(name)}});
        return result;
    }();
    return list;
}

// The application's default settings file, the one the dictation controller reads.
QString LanguageSettings::storedLanguage()
{
    const QVariant stored = QSettings().value(settingsKey);
    return stored.typeId() == QMetaType::QString ? stored.toString() : automatic;
}

void LanguageSettings::storeLanguage(const QString &code)
{
    QSettings settings;
    settings.setValue(settingsKey, code);
    settings.sync();
}

} // namespace voxendo

#pragma once

#include "platform/secretstore.h"

#include <QObject>
#include <QQmlEngine>
#include <QString>
#include <QCoroTask>

#include <chrono>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace voxendo {

// The user's own OpenAI API key: checked against OpenAI before it is accepted, kept as one item
// in the system keyring, read back for each own-key transcription. While a key is stored,
// every transcription goes straight to OpenAI with it.
//
// Main thread only. loadKey() and the keyring writes wait on the keyring for at most the secret
// store's main-thread bound, so a locked or slow keyring freezes nothing for long.
class APIKeyManager : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(bool hasCustomKey READ hasCustomKey NOTIFY hasCustomKeyChanged)
    Q_PROPERTY(bool isValidating READ isValidating NOTIFY isValidatingChanged)
    // The message of the last failed check; empty when there is none.
    Q_PROPERTY(QString validationError READ validationErrorText NOTIFY validationErrorChanged)

public:
    static inline const QString service = QStringLiteral("com.voxendo.app.apikey");
    static inline const QString account = QStringLiteral("openai-api-key");
    static inline const QString accessGroup = QStringLiteral("K8V3N6Q2P5.com.voxendo.app");
    static constexpr std::chrono::milliseconds defaultValidationTimeout{15000};

    static inline const QString formatMessage = QStringLiteral(
        "Invalid key format. OpenAI keys start with \"sk-\" and are at least 20 characters.");

    // `network` null: the application's manager (Network::manager()). `apiOrigin`: OpenAI's
    // API origin, e.g. "https://api.openai.com". Reads the keyring once, for hasCustomKey.
    APIKeyManager(std::shared_ptr<platform::SecretStore> secrets, QNetworkAccessManager *network,
                  QString apiOrigin,
                  std::chrono::milliseconds validationTimeout = defaultValidationTimeout,
                  QObject *parent = nullptr);

    static APIKeyManager *shared();
    static APIKeyManager *create(QQmlEngine *, QJSEngine *);

    bool hasCustomKey() const { return m_hasCustomKey; }
    bool isValidating() const { return m_isValidating; }
    const std::optional<QString> &validationError() const { return m_validationError; }
    QString validationErrorText() const { return m_validationError.value_or(QString()); }

    // The stored key, or none (no item, keyring unavailable or locked, undecodable data).
    std::optional<QString> loadKey() const;

    // Checks `key` (already trimmed) with OpenAI: format rule, then GET /v1/models.
    // True when OpenAI accepted it; otherwise validationError says why. Stores nothing.
    QCoro::Task<bool> validateKey(QString key);

    // Stores `key` in place of any stored one. Raises KeychainError (unableToStore).
    void saveKey(const QString &key);

    // Removes the stored key, if any.
    Q_INVOKABLE void deleteKey();

    // The Settings tab's "Save Key": trims `key`, checks it and, when OpenAI accepts it, stores
    // it. keySaveFinished(true) once stored; false when the check or the store failed (the
    // message is then in validationError). Ignored while a check is running.
    Q_INVOKABLE void validateAndSaveKey(const QString &key);

Q_SIGNALS:
    void hasCustomKeyChanged();
    void isValidatingChanged();
    void validationErrorChanged();
    void keySaveFinished(bool saved);

private:
    platform::SecretAttributes itemQuery(bool inAccessGroup = true) const;
    QCoro::Task<> validateAndSave(QString key);
    void setHasCustomKey(bool value);
    void setIsValidating(bool value);
    void setValidationError(std::optional<QString> value);

    const std::shared_ptr<platform::SecretStore> m_secrets;
    QNetworkAccessManager *const m_network;
    const QString m_apiOrigin;
    const std::chrono::milliseconds m_validationTimeout;

    bool m_hasCustomKey = false;
    bool m_isValidating = false;
    std::optional<QString> m_validationError;
};

} // namespace voxendo

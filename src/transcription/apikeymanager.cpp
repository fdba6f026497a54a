#include "transcription/apikeymanager.h"

#include "account/keychainerror.h"
#include "common/endpoints.h"
#include "common/network.h"

#include <QCoroNetworkReply>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPointer>
#include <QStringDecoder>

namespace voxendo {
namespace {

namespace Attribute = platform::SecretAttribute;
namespace SecretStatus = platform::SecretStatus;

bool followsKeyFormat(const QString &key)
{
    if (!key.startsWith(QLatin1String("sk-")) || key.size() < 20)
        return false;
    // The key goes into a header line: a control character (CR, LF) would end that line.
    return std::none_of(key.cbegin(), key.cend(),
                        [](QChar c) { return c.unicode() < 0x20 || c.unicode() == 0x7f; });
}

// <origin>/v1/models; invalid when the origin is not an https URL with a host. The key is never
// sent in clear text.
QUrl modelsUrl(const QString &origin)
{
    QUrl url(origin.trimmed(), QUrl::StrictMode);
    if (!url.isValid() || url.scheme() != QLatin1String("https") || url.host().isEmpty()
        || url.hasQuery() || url.hasFragment())
        return {};
    QString path = url.path();
    while (path.endsWith(QLatin1Char('/')))
        path.chop(1);
    url.setPath(path + QLatin1String("/v1/models"));
    return url;
}

// Transport-level failures (no connection, TLS, time-out, proxy), as opposed to an answer.
bool isTransportError(QNetworkReply::NetworkError error)
{
    return error != QNetworkReply::NoError && error < QNetworkReply::ContentAccessDenied;
}

} // namespace

APIKeyManager::APIKeyManager(std::shared_ptr<platform::SecretStore> secrets,
                             QNetworkAccessManager *network, QString apiOrigin,
                             std::chrono::milliseconds validationTimeout, QObject *parent)
    : QObject(parent)
    , m_secrets(std::move(secrets))
    , m_network(network ? network : Network::manager())
    , m_apiOrigin(std::move(apiOrigin))
    , m_validationTimeout(validationTimeout)
{
    m_hasCustomKey = loadKey().has_value();
}

APIKeyManager *APIKeyManager::shared()
{
    static auto *instance = new APIKeyManager(platform::systemSecretStore(), nullptr,
                                              Endpoints::openAiApiBase());
    return instance;
}

APIKeyManager *APIKeyManager::create(QQmlEngine *, QJSEngine *)
{
    APIKeyManager *instance = shared();
    QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
    return instance;
}

platform::SecretAttributes APIKeyManager::itemQuery(bool inAccessGroup) const
{
    platform::SecretAttributes query;
    query.insert(Attribute::service, service);
    query.insert(Attribute::account, account);
    if (inAccessGroup)
        query.insert(Attribute::accessGroup, accessGroup);
    return query;
}

std::optional<QString> APIKeyManager::loadKey() const
{
    const platform::Result<QByteArray> found = m_secrets->copyMatching(itemQuery());
    if (!found.ok() || !found.value)
        return std::nullopt;
    QStringDecoder utf8(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    QString key = utf8.decode(*found.value);
    if (utf8.hasError())
        return std::nullopt;
    return key;
}

QCoro::Task<bool> APIKeyManager::validateKey(QString key)
{
    if (!followsKeyFormat(key)) {
        setValidationError(formatMessage);
        co_return false;
    }
    setIsValidating(true);
    setValidationError(std::nullopt);

    const QUrl url = modelsUrl(m_apiOrigin);
    if (!url.isValid()) {
        setValidationError(QStringLiteral("Internal error creating validation URL."));
        setIsValidating(false);
        co_return false;
    }

    QNetworkRequest request = Network::request(url);
    request.setRawHeader("Authorization", "Bearer " + key.toUtf8());
    // A redirect to another origin must not carry the key along.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    std::unique_ptr<QNetworkReply, void (*)(QNetworkReply *)> reply(
        m_network->get(request), [](QNetworkReply *r) { r->deleteLater(); });

    QPointer<APIKeyManager> self(this);
    const bool finished = co_await qCoro(reply.get()).waitForFinished(m_validationTimeout);
    if (!finished)
        reply->abort();
    if (!self)
        co_return false;

    const QVariant status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    std::optional<QString> failure;
    if (!finished) {
        failure = QStringLiteral("Network error: The request timed out.");
    } else if (isTransportError(reply->error())) {
        failure = QStringLiteral("Network error: ") + reply->errorString();
    } else if (!status.isValid()) {
        failure = QStringLiteral("Invalid response from OpenAI.");
    } else if (status.toInt() == 401) {
        failure = QStringLiteral("Invalid API key. Please check and try again.");
    } else if (status.toInt() != 200) {
        failure = QStringLiteral("OpenAI returned status %1. Please try again later.").arg(status.toInt());
    }

    if (failure)
        setValidationError(failure);
    setIsValidating(false);
    co_return !failure;
}

void APIKeyManager::saveKey(const QString &key)
{
    const QByteArray bytes = key.toUtf8();
    // Both deletions are best effort; the add reports what really went wrong. The second one,
    // without the group, also removes a copy left under this account in another group.
    m_secrets->deleteMatching(itemQuery());
    m_secrets->deleteMatching(itemQuery(false));
    const platform::Status added = m_secrets->add(itemQuery(), bytes);
    if (!added.ok()) {
        // The deletions may already have removed the previous key: show what is really stored.
        setHasCustomKey(loadKey().has_value());
        throw KeychainError(KeychainError::Kind::unableToStore, added.code);
    }
    setHasCustomKey(true);
    setValidationError(std::nullopt);
}

void APIKeyManager::deleteKey()
{
    const platform::Status removed = m_secrets->deleteMatching(itemQuery());
    if (!removed.ok() && removed.code != SecretStatus::itemNotFound) {
        // The key is still stored (a locked keyring, typically): say so instead of pretending it
        // is gone, since it would be used again once the keyring opens.
        setHasCustomKey(loadKey().has_value());
        setValidationError(KeychainError(KeychainError::Kind::unableToRemove, removed.code)
                               .localizedDescription());
        return;
    }
    setHasCustomKey(false);
    setValidationError(std::nullopt);
}

void APIKeyManager::validateAndSaveKey(const QString &key)
{
    if (m_isValidating)
        return;
    validateAndSave(key.trimmed());
}

QCoro::Task<> APIKeyManager::validateAndSave(QString key)
{
    QPointer<APIKeyManager> self(this);
    const bool accepted = co_await validateKey(key);
    if (!self)
        co_return;
    if (!accepted) {
        Q_EMIT keySaveFinished(false);
        co_return;
    }
    try {
        saveKey(key);
    } catch (const KeychainError &error) {
        // Without the message the typed key would vanish with nothing stored and no word why.
        setValidationError(error.localizedDescription());
        Q_EMIT keySaveFinished(false);
        co_return;
    }
    Q_EMIT keySaveFinished(true);
}

void APIKeyManager::setHasCustomKey(bool value)
{
    if (m_hasCustomKey == value)
        return;
    m_hasCustomKey = value;
    Q_EMIT hasCustomKeyChanged();
}

void APIKeyManager::setIsValidating(bool value)
{
    if (m_isValidating == value)
        return;
    m_isValidating = value;
    Q_EMIT isValidatingChanged();
}

void APIKeyManager::setValidationError(std::optional<QString> value)
{
    if (m_validationError == value)
        return;
    m_validationError = std::move(value);
    Q_EMIT validationErrorChanged();
}

} // namespace voxendo

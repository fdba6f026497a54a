#include "devserver/tokensigner.h"

#include "devserver/passwordhash.h"

#include <QJsonDocument>
#include <QMessageAuthenticationCode>

namespace voxendo::devserver {

namespace {

constexpr auto kBase64Url = QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals;

QByteArray encodedHeader()
{
    static const QByteArray header =
        QByteArray(R"({"alg":"HS256","typ":"JWT"})").toBase64(kBase64Url);
    return header;
}

} // namespace

TokenSigner::TokenSigner(QByteArray secret)
    : m_secret(std::move(secret))
{
}

QByteArray TokenSigner::sign(const QJsonObject &claims) const
{
    const QByteArray signingInput = encodedHeader() + '.'
        + QJsonDocument(claims).toJson(QJsonDocument::Compact).toBase64(kBase64Url);
    const QByteArray mac =
        QMessageAuthenticationCode::hash(signingInput, m_secret, QCryptographicHash::Sha256);
    return signingInput + '.' + mac.toBase64(kBase64Url);
}

std::optional<QJsonObject> TokenSigner::verify(const QByteArray &token) const
{
    const QList<QByteArray> parts = token.split('.');
    if (parts.size() != 3 || parts[0] != encodedHeader())
        return std::nullopt;
    const QByteArray signingInput = parts[0] + '.' + parts[1];
    const QByteArray expected =
        QMessageAuthenticationCode::hash(signingInput, m_secret, QCryptographicHash::Sha256);
    const auto decoded = QByteArray::fromBase64Encoding(parts[2], kBase64Url
                                                            | QByteArray::AbortOnBase64DecodingErrors);
    if (!decoded || !PasswordHash::constantTimeEquals(*decoded, expected))
        return std::nullopt;
    const auto claims = QByteArray::fromBase64Encoding(parts[1], kBase64Url
                                                           | QByteArray::AbortOnBase64DecodingErrors);
    if (!claims)
        return std::nullopt;
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(*claims, &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return std::nullopt;
    return doc.object();
}

} // namespace voxendo::devserver

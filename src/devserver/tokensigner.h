#pragma once

#include <QByteArray>
#include <QJsonObject>

#include <optional>

namespace voxendo::devserver {

// Signed tokens in the JWT compact form (HS256): base64url(header).base64url(claims).signature.
// The auth service's access tokens and the anon key are such tokens; clients never verify
// them, but this server does, so a forged or altered token is refused.
class TokenSigner
{
public:
    explicit TokenSigner(QByteArray secret);

    QByteArray sign(const QJsonObject &claims) const;
    // The claims of a token this signer made, or nothing for a malformed or forged token.
    // Expiry is the caller's business.
    std::optional<QJsonObject> verify(const QByteArray &token) const;

private:
    QByteArray m_secret;
};

} // namespace voxendo::devserver

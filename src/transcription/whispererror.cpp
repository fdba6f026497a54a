#include "transcription/whispererror.h"

namespace voxendo {

WhisperError WhisperError::networkError(Cause cause)
{
    WhisperError e(Kind::networkError);
    e.m_cause = std::move(cause);
    return e;
}

WhisperError WhisperError::apiError(QString message)
{
    WhisperError e(Kind::apiError);
    e.m_message = std::move(message);
    return e;
}

WhisperError WhisperError::noProxyURL() { return WhisperError(Kind::noProxyURL); }
WhisperError WhisperError::invalidProxyURL() { return WhisperError(Kind::invalidProxyURL); }
WhisperError WhisperError::invalidLanguage() { return WhisperError(Kind::invalidLanguage); }
WhisperError WhisperError::invalidResponse() { return WhisperError(Kind::invalidResponse); }
WhisperError WhisperError::updateRequired() { return WhisperError(Kind::updateRequired); }

QString WhisperError::errorDescription() const
{
    switch (m_kind) {
    case Kind::networkError:
        return QStringLiteral("Network error: ") + (m_cause ? m_cause->description : QString());
    case Kind::apiError:
        return QStringLiteral("API error: ") + m_message;
    case Kind::noProxyURL:
        return QStringLiteral("Proxy server URL not configured");
    case Kind::invalidProxyURL:
        return QStringLiteral("Invalid proxy URL - must use HTTPS");
    case Kind::invalidLanguage:
        return QStringLiteral("Invalid language code");
    case Kind::invalidResponse:
        return QStringLiteral("Invalid response from API");
    case Kind::updateRequired:
        return QStringLiteral("Please update Voxendo to continue using it.");
    }
    return {};
}

} // namespace voxendo

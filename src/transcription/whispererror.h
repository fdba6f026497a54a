#pragma once

#include <QString>
#include <optional>

namespace voxendo {

// Why a transcription produced no text. A plain value: copy it, compare it, show
// errorDescription() to the user.
class WhisperError
{
public:
    // The order is part of the contract with the dictation controller; do not reorder.
    enum class Kind {
        networkError,    // carries a Cause
        apiError,        // carries a message
        noProxyURL,
        invalidProxyURL,
        invalidLanguage,
        invalidResponse,
        updateRequired,
    };

    // The failure underneath a networkError, as the layer that failed reported it.
    struct Cause
    {
        enum class Domain {
            Network, // code is a QNetworkReply::NetworkError
            File,    // code is a QFileDevice::FileError
            Json,    // code is a QJsonParseError::ParseError
        };
        Domain domain = Domain::Network;
        int code = 0;
        QString description; // readable, one line, never contains secrets

        friend bool operator==(const Cause &, const Cause &) = default;
    };

    static WhisperError networkError(Cause cause);
    static WhisperError apiError(QString message);
    static WhisperError noProxyURL();
    static WhisperError invalidProxyURL();
    static WhisperError invalidLanguage();
    static WhisperError invalidResponse();
    static WhisperError updateRequired();

    Kind kind() const { return m_kind; }
    // Present for networkError only.
    std::optional<Cause> cause() const { return m_cause; }
    // The apiError message; empty for every other kind.
    QString message() const { return m_message; }

    // The text the user sees, e.g. "Network error: Connection refused" or
    // "Invalid language code". It is also the error's localized description.
    QString errorDescription() const;

    friend bool operator==(const WhisperError &, const WhisperError &) = default;

private:
    explicit WhisperError(Kind kind) : m_kind(kind) {}

    Kind m_kind;
    std::optional<Cause> m_cause;
    QString m_message;
};

} // namespace voxendo

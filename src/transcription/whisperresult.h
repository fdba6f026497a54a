#pragma once

#include "transcription/whispererror.h"

#include <QString>
#include <variant>

namespace voxendo {

// What one transcription produced: the recognised text exactly as the server sent it (not
// trimmed, possibly empty), or the error that explains why there is none.
class WhisperResult
{
public:
    static WhisperResult success(QString text) { return WhisperResult(std::move(text)); }
    static WhisperResult failure(WhisperError error) { return WhisperResult(std::move(error)); }

    bool isSuccess() const { return std::holds_alternative<QString>(m_value); }

    // The text on success; empty on failure.
    QString text() const
    {
        const QString *t = std::get_if<QString>(&m_value);
        return t ? *t : QString();
    }

    // The error on failure; nothing on success.
    std::optional<WhisperError> error() const
    {
        const WhisperError *e = std::get_if<WhisperError>(&m_value);
        return e ? std::optional<WhisperError>(*e) : std::nullopt;
    }

    // The error's user-facing text on failure; empty on success.
    QString errorDescription() const
    {
        const WhisperError *e = std::get_if<WhisperError>(&m_value);
        return e ? e->errorDescription() : QString();
    }

    friend bool operator==(const WhisperResult &, const WhisperResult &) = default;

private:
    explicit WhisperResult(QString text) : m_value(std::move(text)) {}
    explicit WhisperResult(WhisperError error) : m_value(std::move(error)) {}

    std::variant<QString, WhisperError> m_value;
};

} // namespace voxendo

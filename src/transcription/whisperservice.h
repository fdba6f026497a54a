#pragma once

#include "transcription/whispererror.h"
#include "transcription/whisperresult.h"

#include <QByteArray>
#include <QSet>
#include <QString>
#include <QUrl>

#include <chrono>
#include <functional>
#include <optional>

class QNetworkAccessManager;

namespace voxendo {

// Uploads one finished recording to a speech-to-text service and hands back the text.
//
// Two routes share one request format: the Voxendo backend (no apiKey; the session's access
// token as bearer, if any) and OpenAI directly (apiKey present, used as bearer). Stateless: all
// operations are static and each call is independent.
class WhisperService
{
public:
    WhisperService() = delete;

    using Completion = std::function<void(const WhisperResult &result)>;

    static constexpr std::chrono::milliseconds requestTimeout{60000};
    static inline const QString transcriptionPath = QStringLiteral("/v1/audio/transcriptions");
    static inline const QString proxyURLSettingsKey = QStringLiteral("proxyURL");

    // How a request travels. Production uses the defaults; tests pass their own manager (a fresh
    // one avoids TLS session reuse between tests) and a short time-out.
    struct Transport
    {
        QNetworkAccessManager *manager = nullptr; // nullptr: Network::manager()
        std::chrono::milliseconds timeout = requestTimeout;
    };

    // Sends `audioURL` (a local file URL; its file name is sent as the part's file name) for
    // transcription and calls `completion` exactly once:
    //   - before returning, for failures found before anything is sent (invalidLanguage,
    //     noProxyURL, invalidProxyURL, networkError for an unreadable file);
    //   - otherwise later, from the event loop of the manager's thread, when the exchange has
    //     ended or the time-out has passed. Never on the caller's stack.
    // The completion may run on a thread other than the caller's when transcribe is called off
    // the manager's thread; callers that touch state hop to their own thread themselves.
    //
    // `duration` (seconds) is sent on the backend route only, and only when greater than 0.
    static void transcribe(const QUrl &audioURL, const QString &language,
                           const std::optional<QString> &apiKey,
                           const std::optional<QString> &accessToken, double duration,
                           Completion completion);
    static void transcribe(const QUrl &audioURL, const QString &language,
                           const std::optional<QString> &apiKey,
                           const std::optional<QString> &accessToken, double duration,
                           Completion completion, const Transport &transport);

    // The 33 language codes transcribe accepts (compared case-insensitively), "auto" included.
    static const QSet<QString> &supportedLanguages();

    // The backend base: the "proxyURL" setting when it is an https URL, else the built-in
    // backend address.
    static QString proxyBaseURL();

    // The multipart/form-data body of a transcription request. `fileName` goes into the file
    // part's header; `language` is sent unless it is exactly "auto"; `duration` is sent when
    // greater than 0.
    static QByteArray createMultipartBody(const QByteArray &audio, const QString &fileName,
                                          const QString &language, double duration,
                                          const QString &boundary);

    // Shortest decimal text that reads back as the same double, always with a fractional part:
    // 3 -> "3.0", 2.5 -> "2.5", 4.2 -> "4.2".
    static QByteArray durationText(double seconds);
};

} // namespace voxendo

#include "dictation/collaborators.h"

#include "account/authmanager.h"
#include "audio/audiorecorder.h"
#include "insertion/textinjector.h"
#include "transcription/apikeymanager.h"
#include "transcription/whisperservice.h"

#include <QUrl>

// The process's real managers, each behind a thin adapter to the interfaces in collaborators.h.

namespace voxendo {

namespace {

class MicrophoneRecorder final : public DictationRecorder
{
public:
    void startRecording() override { AudioRecorder::shared().startRecording(); }
    void stopRecording(StopCompletion completion) override
    {
        AudioRecorder::shared().stopRecording([completion](std::optional<QUrl> url) {
            completion(url ? std::optional<QString>(url->toLocalFile()) : std::nullopt);
        });
    }
    double lastRecordingDuration() const override { return AudioRecorder::shared().lastRecordingDuration(); }
    void setOnRecordingTimeout(std::function<void()> hook) override
    {
        AudioRecorder::shared().setOnRecordingTimeout(std::move(hook));
    }
};

class WhisperTranscriber final : public DictationTranscriber
{
public:
    void transcribe(const QString &filePath, const QString &language,
                    const std::optional<QString> &apiKey, const std::optional<QString> &accessToken,
                    double duration, Completion completion) override
    {
        WhisperService::transcribe(QUrl::fromLocalFile(filePath), language, apiKey, accessToken,
                                   duration, [completion](const WhisperResult &result) {
                                       completion(result.isSuccess()
                                                      ? TranscriptionOutcome::success(result.text())
                                                      : TranscriptionOutcome::failure(result.errorDescription()));
                                   });
    }
};

class SignedInAccount final : public DictationAccount
{
public:
    SignedInAccount()
    {
        AuthManager *auth = AuthManager::shared();
        connect(auth, &AuthManager::isAuthenticatedChanged, this,
                [this, auth] { Q_EMIT authenticationChanged(auth->isAuthenticated()); });
    }
    bool isAuthenticated() const override { return AuthManager::shared()->isAuthenticated(); }
    QCoro::Task<std::optional<QString>> currentAccessToken() override
    {
        co_return co_await AuthManager::shared()->currentAccessToken();
    }
};

class PersonalKeyStore final : public DictationKeyStore
{
public:
    bool hasCustomKey() const override { return APIKeyManager::shared()->hasCustomKey(); }
    std::optional<QString> loadKey() override { return APIKeyManager::shared()->loadKey(); }
};

class ClipboardInjector final : public DictationInjector
{
public:
    void injectText(const QString &text) override { TextInjector::shared().injectText(text); }
};

} // namespace

DictationCollaborators makeSystemCollaborators()
{
    return {std::make_shared<MicrophoneRecorder>(), std::make_shared<WhisperTranscriber>(),
            std::make_shared<SignedInAccount>(), std::make_shared<PersonalKeyStore>(),
            std::make_shared<ClipboardInjector>()};
}

} // namespace voxendo

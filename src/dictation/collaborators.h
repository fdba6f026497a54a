#pragma once

#include <QObject>
#include <QString>
#include <QCoroTask>

#include <functional>
#include <memory>
#include <optional>

// The narrow views the dictation controller has of the managers it drives. Each interface holds
// only what AppState calls, with the contract AppState relies on; the real managers are adapted
// to them in makeSystemCollaborators(), tests pass fakes.

namespace voxendo {

// The microphone recorder. All calls come from the main thread.
class DictationRecorder
{
public:
    using StopCompletion = std::function<void(std::optional<QString> filePath)>;

    virtual ~DictationRecorder() = default;
    // Starts recording into a new file. Failures are the recorder's own business: a recording
    // that never started makes the next stop answer with no file.
    virtual void startRecording() = 0;
    // The completion is called exactly once, on any thread (possibly before this returns), with
    // the finished audio file's path or with none.
    virtual void stopRecording(StopCompletion completion) = 0;
    // Seconds of the recording most recently stopped; read after the completion gave a file.
    virtual double lastRecordingDuration() const = 0;
    // Installed once; called (on any thread) when a recording reaches its time limit.
    virtual void setOnRecordingTimeout(std::function<void()> hook) = 0;
};

// What a transcription attempt produced: the text exactly as received, or the user-facing
// description of the error.
struct TranscriptionOutcome
{
    std::optional<QString> text;
    QString errorDescription;

    static TranscriptionOutcome success(QString text) { return {std::move(text), {}}; }
    static TranscriptionOutcome failure(QString description) { return {std::nullopt, std::move(description)}; }
    bool ok() const { return text.has_value(); }
};

// The speech-to-text client. Called on the main thread.
class DictationTranscriber
{
public:
    using Completion = std::function<void(TranscriptionOutcome outcome)>;

    virtual ~DictationTranscriber() = default;
    // Returns at once. `apiKey` present selects the own-key route; otherwise `accessToken` (or
    // none) goes to the backend. The completion is called exactly once, on any thread, possibly
    // before this returns.
    virtual void transcribe(const QString &filePath, const QString &language,
                            const std::optional<QString> &apiKey,
                            const std::optional<QString> &accessToken, double duration,
                            Completion completion) = 0;
};

// The signed-in account. Lives on the main thread.
class DictationAccount : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    ~DictationAccount() override = default;

    // True while a user is signed in.
    virtual bool isAuthenticated() const = 0;
    // The current session's access token, or none (no session, or the query failed). Runs on
    // the main thread and never throws.
    virtual QCoro::Task<std::optional<QString>> currentAccessToken() = 0;

Q_SIGNALS:
    // Emitted on the main thread after every change of isAuthenticated().
    void authenticationChanged(bool isAuthenticated);
};

// The user's own OpenAI key. Called on the main thread; both calls return promptly.
class DictationKeyStore
{
public:
    virtual ~DictationKeyStore() = default;
    // True when the user has stored an own key.
    virtual bool hasCustomKey() const = 0;
    // The stored key, or none when it cannot be read.
    virtual std::optional<QString> loadKey() = 0;
};

// Puts text at the cursor of the focused application. Called on the main thread; returns once
// the clipboard holds the text (the paste itself follows later). Reports nothing back.
class DictationInjector
{
public:
    virtual ~DictationInjector() = default;
    virtual void injectText(const QString &text) = 0;
};

// Shared ownership: the controller keeps its collaborators alive, and tests keep handles to the
// fakes they passed in.
struct DictationCollaborators
{
    std::shared_ptr<DictationRecorder> recorder;
    std::shared_ptr<DictationTranscriber> transcriber;
    std::shared_ptr<DictationAccount> account;
    std::shared_ptr<DictationKeyStore> keyStore;
    std::shared_ptr<DictationInjector> injector;
};

// The process's real managers behind the interfaces above; used once, by AppState::shared().
DictationCollaborators makeSystemCollaborators();

} // namespace voxendo

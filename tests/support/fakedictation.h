#pragma once

#include "dictation/collaborators.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>
#include <optional>

// Fakes of the dictation controller's collaborators (dictation/collaborators.h).

namespace voxendo::test {

// Where a fake delivers a completion: on the calling (main) thread, or on a thread of its own
// that has ended by the time the call returns.
enum class DeliveryThread { Main, Other };

class FakeDictationRecorder final : public DictationRecorder
{
public:
    // When set, each start creates an empty "voxendo_<UUID>.m4a" here, like a real recording.
    QString recordingDirectory;
    // When set, stopRecording answers with it at once, before returning; else finish() answers.
    std::optional<std::optional<QString>> immediateAnswer;
    double duration = 2.5;

    int startCount = 0;
    int stopCount = 0;
    QString lastFile; // the file of the latest start, if one was created

    void startRecording() override;
    void stopRecording(StopCompletion completion) override;
    double lastRecordingDuration() const override { return duration; }
    void setOnRecordingTimeout(std::function<void()> hook) override { m_timeoutHook = std::move(hook); }

    bool hasPendingStop() const { return bool(m_pending); }
    // Answers the pending stop request with `filePath` (or none).
    void finish(std::optional<QString> filePath, DeliveryThread thread = DeliveryThread::Main);
    // Calls the installed time-limit hook, as the recorder's timer would.
    void fireTimeout(DeliveryThread thread = DeliveryThread::Main);

private:
    StopCompletion m_pending;
    std::function<void()> m_timeoutHook;
};

class FakeDictationTranscriber final : public DictationTranscriber
{
public:
    struct Call
    {
        QString filePath;
        QString language;
        std::optional<QString> apiKey;
        std::optional<QString> accessToken;
        double duration = 0;
        Completion completion;
    };

    // When set, transcribe completes with it before returning (as the client does for failures
    // found before anything is sent).
    std::optional<TranscriptionOutcome> immediateOutcome;
    QList<Call> calls;

    void transcribe(const QString &filePath, const QString &language,
                    const std::optional<QString> &apiKey, const std::optional<QString> &accessToken,
                    double duration, Completion completion) override;

    // Completes call `index` (the latest by default).
    void complete(TranscriptionOutcome outcome, DeliveryThread thread = DeliveryThread::Main, int index = -1);
};

class FakeDictationAccount final : public DictationAccount
{
    Q_OBJECT
public:
    explicit FakeDictationAccount(bool authenticated = true) : m_authenticated(authenticated) {}

    std::optional<QString> token = QStringLiteral("session-token");
    // While true, currentAccessToken() waits for releaseToken().
    bool holdToken = false;
    int tokenRequests = 0;

    bool isAuthenticated() const override { return m_authenticated; }
    QCoro::Task<std::optional<QString>> currentAccessToken() override;

    void setAuthenticated(bool value);
    void releaseToken() { Q_EMIT tokenReleased(); }

Q_SIGNALS:
    void tokenReleased();

private:
    bool m_authenticated;
};

class FakeDictationKeyStore final : public DictationKeyStore
{
public:
    bool hasKey = false;
    std::optional<QString> key;
    mutable int hasKeyCalls = 0;
    int loadCalls = 0;

    bool hasCustomKey() const override
    {
        ++hasKeyCalls;
        return hasKey;
    }
    std::optional<QString> loadKey() override
    {
        ++loadCalls;
        return key;
    }
};

class RecordingDictationInjector final : public DictationInjector
{
public:
    QStringList texts;
    // Runs inside injectText, to observe what the caller's state is at that moment.
    std::function<void(const QString &)> onInject;

    void injectText(const QString &text) override
    {
        texts.append(text);
        if (onInject)
            onInject(text);
    }
};

} // namespace voxendo::test

#include "support/fakedictation.h"

#include <QCoroSignal>
#include <QDir>
#include <QFile>
#include <QUuid>

#include <thread>

namespace voxendo::test {

namespace {
template <typename Fn>
void deliver(DeliveryThread where, Fn &&fn)
{
    if (where == DeliveryThread::Main) {
        fn();
        return;
    }
    std::thread worker(std::forward<Fn>(fn));
    worker.join();
}
} // namespace

void FakeDictationRecorder::startRecording()
{
    ++startCount;
    if (recordingDirectory.isEmpty())
        return;
    lastFile = QDir(recordingDirectory)
                   .filePath(QStringLiteral("voxendo_%1.m4a")
                                 .arg(QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper()));
    QFile file(lastFile);
    if (file.open(QIODevice::WriteOnly))
        file.write("fake audio");
}

void FakeDictationRecorder::stopRecording(StopCompletion completion)
{
    ++stopCount;
    if (immediateAnswer) {
        completion(*immediateAnswer);
        return;
    }
    m_pending = std::move(completion);
}

void FakeDictationRecorder::finish(std::optional<QString> filePath, DeliveryThread thread)
{
    StopCompletion completion = std::exchange(m_pending, {});
    if (!completion)
        qFatal("FakeDictationRecorder::finish: no stop request is pending");
    deliver(thread, [&] { completion(std::move(filePath)); });
}

void FakeDictationRecorder::fireTimeout(DeliveryThread thread)
{
    if (m_timeoutHook)
        deliver(thread, [this] { m_timeoutHook(); });
}

void FakeDictationTranscriber::transcribe(const QString &filePath, const QString &language,
                                          const std::optional<QString> &apiKey,
                                          const std::optional<QString> &accessToken, double duration,
                                          Completion completion)
{
    if (immediateOutcome) {
        calls.append({filePath, language, apiKey, accessToken, duration, {}});
        completion(*immediateOutcome);
        return;
    }
    calls.append({filePath, language, apiKey, accessToken, duration, std::move(completion)});
}

void FakeDictationTranscriber::complete(TranscriptionOutcome outcome, DeliveryThread thread, int index)
{
    Call &call = calls[index < 0 ? calls.size() - 1 : index];
    Completion completion = std::exchange(call.completion, {});
    if (!completion)
        qFatal("FakeDictationTranscriber::complete: that call has already completed");
    deliver(thread, [&] { completion(std::move(outcome)); });
}

QCoro::Task<std::optional<QString>> FakeDictationAccount::currentAccessToken()
{
    ++tokenRequests;
    if (holdToken)
        co_await qCoro(this, &FakeDictationAccount::tokenReleased);
    co_return token;
}

void FakeDictationAccount::setAuthenticated(bool value)
{
    if (m_authenticated == value)
        return;
    m_authenticated = value;
    Q_EMIT authenticationChanged(value);
}

} // namespace voxendo::test

#include "dictation/appstate.h"

#include "common/logging.h"
#include "common/text.h"
#include "common/trace.h"

#include <QCoreApplication>
#include <QFile>
#include <QJSEngine>
#include <QPointer>
#include <QSettings>

#include <utility>

namespace voxendo {

namespace {

// Runs `work` on the main thread after the current event. Posted to the application object, not
// to the controller: a completion on another thread must not touch the controller's pointer
// while the main thread could be deleting it. `work` checks its own weak reference there.
template <typename Work>
void postToMainThread(Work &&work)
{
    QMetaObject::invokeMethod(QCoreApplication::instance(), std::forward<Work>(work),
                              Qt::QueuedConnection);
}

QString chosenLanguage()
{
    // Only a stored string counts; anything else (absent, a list) means automatic detection.
    const QVariant stored = QSettings().value(AppState::LanguageSettingsKey);
    if (stored.typeId() == QMetaType::QString)
        return stored.toString();
    return QStringLiteral("auto");
}

// The transcription request of one recording. Holds the controller weakly: once it is gone no
// request is made, but the recording is still removed, since nothing else would remove it.
QCoro::Task<> requestTranscription(QPointer<AppState> self, DictationCollaborators collaborators,
                                   QString filePath, QString language, std::optional<QString> apiKey,
                                   double duration, DictationTranscriber::Completion completion)
{
    std::optional<QString> accessToken;
    if (!apiKey) {
        try {
            accessToken = co_await collaborators.account->currentAccessToken();
        } catch (...) {
            // No token is a state the transcriber already handles; a throwing account manager
            // must not end the run without a result.
            accessToken.reset();
        }
    }
    if (!self) {
        QFile::remove(filePath);
        co_return;
    }
    collaborators.transcriber->transcribe(filePath, language, apiKey, accessToken, duration,
                                          std::move(completion));
}

} // namespace

AppState::AppState(DictationCollaborators collaborators, QObject *parent)
    : QObject(parent)
    , m_collaborators(std::move(collaborators))
{
    const QPointer<AppState> self(this);

    // The time limit ends a recording like a press would, but only one still running: a press
    // that got there first has already stopped it.
    m_collaborators.recorder->setOnRecordingTimeout([self] {
        postToMainThread([self] {
            if (self && self->m_isRecording)
                self->toggleRecording();
        });
    });

    // Queued, like every later change, and starting with the value current now.
    DictationAccount *account = m_collaborators.account.get();
    connect(account, &DictationAccount::authenticationChanged, this,
            &AppState::handleAuthenticationChanged, Qt::QueuedConnection);
    QMetaObject::invokeMethod(
        this, [this, value = account->isAuthenticated()] { handleAuthenticationChanged(value); },
        Qt::QueuedConnection);
}

AppState::~AppState() = default;

AppState *AppState::shared()
{
    static AppState *const instance = new AppState(makeSystemCollaborators());
    return instance;
}

AppState *AppState::create(QQmlEngine *, QJSEngine *)
{
    AppState *instance = shared();
    // The engine must never delete the process-wide controller.
    QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
    return instance;
}

void AppState::toggleRecording()
{
    if (m_isToggling)
        return;
    m_isToggling = true;

    if (m_isRecording) {
        // Synchronous; the guard stays up until the recorder has answered.
        endRecording();
        return;
    }

    // The start runs as its own main-thread step, so presses in between are dropped by the guard.
    QMetaObject::invokeMethod(
        this,
        [this] {
            beginRecording();
            m_isToggling = false;
        },
        Qt::QueuedConnection);
}

void AppState::beginRecording()
{
    // A transcription is still under way: no second recording, and nothing visible changes.
    if (m_isProcessing)
        return;

    // Every route needs an account, the own-key route too, so this comes before any key lookup.
    if (!m_collaborators.account->isAuthenticated()) {
        setLastError(MessageSignInRequired);
        setStatusText(StatusSignInRequired);
        return;
    }

    setIsRecording(true);
    setStatusText(StatusRecording);
    m_collaborators.recorder->startRecording();
}

void AppState::endRecording()
{
    trace("stop-requested");
    // One synchronous step: observers see isRecording drop only together with isProcessing
    // rising, so the overlay passes from listening to inserting without being hidden.
    setIsRecording(false);
    setStatusText(StatusProcessing);
    setIsProcessing(true);

    const QPointer<AppState> self(this);
    m_collaborators.recorder->stopRecording([self](std::optional<QString> filePath) {
        postToMainThread([self, filePath = std::move(filePath)] {
            if (self)
                self->recordingFinished(filePath);
        });
    });
}

void AppState::recordingFinished(const std::optional<QString> &filePath)
{
    if (!filePath) {
        // The recorder owns whatever it may have left behind; there is no file to delete here.
        setStatusText(StatusRecordingFailed);
        setLastError(MessageRecordingFailed);
        setIsProcessing(false);
    } else {
        qCInfo(lcAppState, "Audio saved, starting transcription");
        transcribeRecording(*filePath);
    }
    m_isToggling = false;
}

void AppState::transcribeRecording(const QString &filePath)
{
    const QString language = chosenLanguage();

    std::optional<QString> apiKey;
    if (m_collaborators.keyStore->hasCustomKey()) {
        apiKey = m_collaborators.keyStore->loadKey();
        // An empty key cannot authenticate anything; the account's route still can.
        if (apiKey && apiKey->isEmpty())
            apiKey.reset();
    }

    // The flag reads "true"/"false", as the system log renders a boolean argument.
    qCInfo(lcAppState).noquote().nospace()
        << "Starting transcription, language: " << language
        << ", BYOK: " << (apiKey ? "true" : "false");

    const double duration = m_collaborators.recorder->lastRecordingDuration();

    const QPointer<AppState> self(this);
    auto completion = [self, filePath](TranscriptionOutcome outcome) {
        postToMainThread([self, outcome = std::move(outcome)] {
            if (self)
                self->handleTranscription(outcome);
        });
        // Whatever the result: a recording is the user's voice and is never kept for a retry.
        QFile::remove(filePath);
    };

    requestTranscription(self, m_collaborators, filePath, language, std::move(apiKey), duration,
                         std::move(completion));
}

void AppState::handleTranscription(const TranscriptionOutcome &outcome)
{
    if (!outcome.ok()) {
        qCCritical(lcAppState).noquote().nospace() << "Transcription error: " << outcome.errorDescription;
        setIsProcessing(false);
        setStatusText(StatusError);
        setLastError(outcome.errorDescription);
        return;
    }

    // Only the length: a transcript is never written to the log.
    const QString &text = *outcome.text;
    qCInfo(lcAppState).nospace() << "Transcription success, length: " << Text::characterCount(text);
    setStatusText(StatusReady);
    setLastError(QString());

    const QString trimmed = text.trimmed();
    if (!trimmed.isEmpty())
        m_collaborators.injector->injectText(trimmed);
    // Last, so the overlay keeps its inserting look until the clipboard holds the text.
    setIsProcessing(false);
}

void AppState::handleAuthenticationChanged(bool isAuthenticated)
{
    // Signing in lifts only the refusal it resolves; other outcomes stay until dismissed.
    if (isAuthenticated && m_statusText == StatusSignInRequired) {
        setStatusText(StatusReady);
        setLastError(QString());
    }
}

void AppState::setIsRecording(bool value)
{
    if (m_isRecording == value)
        return;
    m_isRecording = value;
    Q_EMIT isRecordingChanged(value);
}

void AppState::setIsProcessing(bool value)
{
    if (m_isProcessing == value)
        return;
    m_isProcessing = value;
    Q_EMIT isProcessingChanged(value);
}

void AppState::setStatusText(const QString &text)
{
    if (m_statusText == text)
        return;
    m_statusText = text;
    Q_EMIT statusTextChanged(text);
}

void AppState::setLastError(const QString &message)
{
    if (m_lastError == message)
        return;
    m_lastError = message;
    Q_EMIT lastErrorChanged(message);
}

} // namespace voxendo

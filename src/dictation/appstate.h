#pragma once

#include "dictation/collaborators.h"

#include <QObject>
#include <QString>
#include <QtQml/qqmlregistration.h>

#include <optional>

class QQmlEngine;
class QJSEngine;

namespace voxendo {

// The dictation pipeline: a toggle becomes sign-in check, recording, transcription and text
// insertion, and the user-visible state of that run is published here.
//
// Everything runs on the thread the controller lives on (the main thread). Completions from the
// recorder and the transcriber may come from any thread; they only post work back here, holding
// the controller weakly, so state is never touched elsewhere.
class AppState : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

    Q_PROPERTY(bool isRecording READ isRecording NOTIFY isRecordingChanged)
    Q_PROPERTY(bool isProcessing READ isProcessing NOTIFY isProcessingChanged)
    Q_PROPERTY(QString statusText READ statusText NOTIFY statusTextChanged)
    // Empty when there is no message. Writable so the Home tab can dismiss it; assigning
    // `undefined` from QML resets it as well.
    Q_PROPERTY(QString lastError READ lastError WRITE setLastError RESET clearLastError NOTIFY lastErrorChanged)

public:
    static inline const QString StatusReady = QStringLiteral("Ready");
    static inline const QString StatusRecording = QStringLiteral("Recording...");
    static inline const QString StatusProcessing = QStringLiteral("Processing...");
    static inline const QString StatusSignInRequired = QStringLiteral("Sign in required");
    static inline const QString StatusRecordingFailed = QStringLiteral("Recording failed");
    static inline const QString StatusError = QStringLiteral("Error");

    static inline const QString MessageSignInRequired =
        QStringLiteral("Please sign in to use Voxendo. Go to the Account tab to create a free account.");
    static inline const QString MessageRecordingFailed = QStringLiteral("Failed to save audio recording");

    // Settings key of the transcription language; "auto" when absent.
    static inline const QString LanguageSettingsKey = QStringLiteral("selectedLanguage");

    explicit AppState(DictationCollaborators collaborators, QObject *parent = nullptr);
    ~AppState() override;

    // The process-wide controller, wired to the real managers. Created on first use, on the
    // main thread, and never destroyed.
    static AppState *shared();
    static AppState *create(QQmlEngine *, QJSEngine *);

    bool isRecording() const { return m_isRecording; }
    bool isProcessing() const { return m_isProcessing; }
    QString statusText() const { return m_statusText; }
    QString lastError() const { return m_lastError; }
    void setLastError(const QString &message);
    void clearLastError() { setLastError(QString()); }

    // The re-entry guard: true from a toggle until its start or stop step has been handled.
    bool isToggling() const { return m_isToggling; }

public Q_SLOTS:
    // The one entry point of the pipeline: starts a recording, or stops the one running.
    // Presses that arrive while a previous toggle is still being handled are dropped.
    Q_INVOKABLE void toggleRecording();

Q_SIGNALS:
    void isRecordingChanged(bool isRecording);
    void isProcessingChanged(bool isProcessing);
    void statusTextChanged(const QString &statusText);
    void lastErrorChanged(const QString &lastError);

private:
    void beginRecording();
    void endRecording();
    void recordingFinished(const std::optional<QString> &filePath);
    void transcribeRecording(const QString &filePath);
    void handleTranscription(const TranscriptionOutcome &outcome);
    void handleAuthenticationChanged(bool isAuthenticated);

    void setIsRecording(bool value);
    void setIsProcessing(bool value);
    void setStatusText(const QString &text);

    DictationCollaborators m_collaborators;

    bool m_isRecording = false;
    bool m_isProcessing = false;
    QString m_statusText = StatusReady;
    QString m_lastError;
    bool m_isToggling = false;
};

} // namespace voxendo

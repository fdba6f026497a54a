#include "app/application.h"

#include "dictation/appstate.h"

#include <QIcon>
#include <QSystemTrayIcon>
#include <QTimer>

namespace voxendo {

namespace {

QIcon trayIcon(bool recording)
{
    return QIcon(recording ? QStringLiteral(":/voxendo/icons/tray-recording.svg")
                           : QStringLiteral(":/voxendo/icons/tray-idle.svg"));
}

} // namespace

Application::Application(AppState *appState, Steps steps, QObject *parent)
    : QObject(parent)
    , m_appState(appState)
    , m_steps(std::move(steps))
{
}

Application::~Application() = default;

void Application::start()
{
    // Fire and forget: the task keeps itself alive until its last step.
    startupSequence();
}

QCoro::Task<> Application::startupSequence()
{
    QPointer<Application> self(this);
    if (m_steps.configure)
        co_await m_steps.configure();
    if (!self)
        co_return;
    setupStatusItem();
    if (m_steps.registerHotKey)
        m_steps.registerHotKey();
    if (m_steps.requestMicrophoneAccess)
        m_steps.requestMicrophoneAccess();
    QTimer::singleShot(m_steps.windowDelay, this, [this] {
        openSettingsWindow();
        Q_EMIT startupFinished();
    });
}

void Application::setupStatusItem()
{
    m_statusItem = new QSystemTrayIcon(trayIcon(false), this);
    m_statusItem->setToolTip(QStringLiteral("Voxendo"));
    // No menu: any click opens the settings window.
    connect(m_statusItem, &QSystemTrayIcon::activated, this, [this](QSystemTrayIcon::ActivationReason reason) {
        if (reason == QSystemTrayIcon::Trigger || reason == QSystemTrayIcon::DoubleClick
            || reason == QSystemTrayIcon::MiddleClick)
            openSettingsWindow();
    });
    m_statusItem->show();

    // Queued delivery matters: when isRecording turns false the controller has already raised
    // isProcessing in the same step, so the pill goes from listening to inserting without a
    // hidden frame in between.
    if (m_appState) {
        connect(m_appState, &AppState::isRecordingChanged, this, [this](bool recording) {
            updateStatusIcon(recording);
            if (recording) {
                if (m_steps.showListening)
                    m_steps.showListening();
            } else if (m_appState && !m_appState->isProcessing() && m_steps.hideOverlay) {
                m_steps.hideOverlay();
            }
        }, Qt::QueuedConnection);
        connect(m_appState, &AppState::isProcessingChanged, this, [this](bool processing) {
            if (processing) {
                if (m_steps.showInserting)
                    m_steps.showInserting();
            } else if (m_steps.hideOverlay) {
                m_steps.hideOverlay();
            }
        }, Qt::QueuedConnection);
        // Both subscriptions start from the current values.
        updateStatusIcon(m_appState->isRecording());
    }
    Q_EMIT statusItemCreated();
}

void Application::updateStatusIcon(bool isRecording)
{
    if (!m_statusItem)
        return;
    m_statusItem->setIcon(trayIcon(isRecording));
    m_statusItem->setToolTip(isRecording ? QStringLiteral("Recording") : QStringLiteral("Voxendo"));
}

void Application::openSettingsWindow()
{
    if (m_steps.showSettingsWindow)
        m_steps.showSettingsWindow();
}

} // namespace voxendo

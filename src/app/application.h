#pragma once

#include <QObject>
#include <QPointer>
#include <QCoroTask>

#include <chrono>
#include <functional>

class QSystemTrayIcon;

namespace voxendo {

class AppState;

// The application shell: runs the start-up sequence, owns the tray item that mirrors the
// dictation state, drives the recording pill from that state, and brings the settings window
// to the front on request. It holds no dictation logic of its own.
class Application : public QObject
{
    Q_OBJECT

public:
    // What start-up does, step by step. The defaults talk to the process's managers; tests pass
    // their own steps to observe the order.
    struct Steps
    {
        std::function<QCoro::Task<>()> configure;     // awaited before anything else
        std::function<void()> registerHotKey;
        std::function<void()> requestMicrophoneAccess;
        std::function<void()> showSettingsWindow;      // create if needed, show, raise, activate
        std::function<void()> showListening;           // the pill
        std::function<void()> showInserting;
        std::function<void()> hideOverlay;
        std::chrono::milliseconds windowDelay{500};
    };
    static Steps systemSteps();

    Application(AppState *appState, Steps steps, QObject *parent = nullptr);
    ~Application() override;

    // Starts the start-up sequence and returns at once.
    void start();
    // The tray item's click, a second launch, `voxendo show`.
    void openSettingsWindow();

    QSystemTrayIcon *statusItem() const { return m_statusItem; }

Q_SIGNALS:
    void statusItemCreated();
    void startupFinished(); // after the window was brought to the front

private:
    QCoro::Task<> startupSequence();
    void setupStatusItem();
    void updateStatusIcon(bool isRecording);

    QPointer<AppState> m_appState;
    Steps m_steps;
    QSystemTrayIcon *m_statusItem = nullptr;
};

} // namespace voxendo

#include "app/application.h"

#include "account/authmanager.h"
#include "audio/audiorecorder.h"
#include "insertion/recordingoverlaycontroller.h"
#include "settings_ui/settingswindow.h"
#include "shortcut/hotkeymanager.h"

namespace voxendo {

// The production start-up: the process's managers, in the order the shell runs them.
Application::Steps Application::systemSteps()
{
    Steps steps;
    steps.configure = []() -> QCoro::Task<> { co_await AuthManager::shared()->configure(); };
    steps.registerHotKey = [] { HotkeyManager::shared().registerHotKey(); };
    steps.requestMicrophoneAccess = [] { AudioRecorder::shared().requestMicrophoneAccess(); };
    steps.showSettingsWindow = [] { SettingsWindow::shared().showAndRaise(); };
    steps.showListening = [] { RecordingOverlayController::shared().showListening(); };
    steps.showInserting = [] { RecordingOverlayController::shared().showInserting(); };
    steps.hideOverlay = [] { RecordingOverlayController::shared().hide(); };
    return steps;
}

} // namespace voxendo

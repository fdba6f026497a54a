#include "app/application.h"
#include "app/commandline.h"
#include "app/controlclient.h"
#include "app/controlservice.h"
#include "app/updater.h"
#include "dictation/appstate.h"
#include "shortcut/hotkeymanager.h"

#include <QApplication>
#include <QIcon>
#include <QQuickWindow>
#include <QTextStream>

#include <cstdio>

using namespace voxendo;

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    const auto command = CommandLine::parse(arguments);
    switch (command.action) {
    case CommandLine::Action::ShowHelp:
        QTextStream(stdout) << CommandLine::helpText();
        return 0;
    case CommandLine::Action::ShowVersion:
        QTextStream(stdout) << CommandLine::versionText() << '\n';
        return 0;
    case CommandLine::Action::Fail:
        QTextStream(stderr) << command.message << '\n';
        return 2;
    case CommandLine::Action::Control: {
        QCoreApplication app(argc, argv);
        return ControlClient::run(command.controlMethod);
    }
    case CommandLine::Action::Run:
        break;
    }

    // Without any display Qt would abort with a core dump; say what is missing instead.
    if (qEnvironmentVariableIsEmpty("DISPLAY") && qEnvironmentVariableIsEmpty("WAYLAND_DISPLAY")
        && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        QTextStream(stderr) << "voxendo: no graphical session (neither DISPLAY nor WAYLAND_DISPLAY "
                               "is set). Start Voxendo from your desktop session.\n";
        return 1;
    }

    // The pill and the settings window are small 2D scenes that the software renderer draws in
    // a millisecond or two. An OpenGL context per window instead costs tens of MB (a software GL
    // driver loads LLVM) and holds the main thread, which reads the microphone and starts the
    // upload, for tens of ms at every show of the pill. QT_QUICK_BACKEND still picks another.
    if (qEnvironmentVariableIsEmpty("QT_QUICK_BACKEND") && qEnvironmentVariableIsEmpty("QSG_RHI_BACKEND"))
        QQuickWindow::setGraphicsApi(QSGRendererInterface::Software);

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Voxendo"));
    QApplication::setApplicationName(QStringLiteral("Voxendo"));
    QApplication::setApplicationVersion(QStringLiteral(VOXENDO_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("com.voxendo.Voxendo"));
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/voxendo/icons/voxendo.svg")));
    // Closing the settings window leaves Voxendo running in the tray.
    QApplication::setQuitOnLastWindowClosed(false);

    // A second launch hands over to the running instance: its window comes to the front.
    if (ControlClient::instanceRunning())
        return ControlClient::run(QStringLiteral("Show"));

    Updater::shared(); // created at launch, like the rest of the shell
    AppState *appState = AppState::shared();
    Application shell(appState, Application::systemSteps());

    ControlService control({[appState] { appState->toggleRecording(); },
                            [&shell] { shell.openSettingsWindow(); },
                            [appState] { return appState->statusText(); }});
    QString reason;
    if (!control.registerOnSessionBus(&reason)) {
        // Lost a race with another instance that started at the same moment: hand over.
        if (ControlClient::instanceRunning())
            return ControlClient::run(QStringLiteral("Show"));
        QTextStream(stderr) << "voxendo: remote control unavailable (" << reason
                            << "); `voxendo toggle` will not reach this instance\n";
    }

    // The global shortcut posts the toggle to the main thread's queue.
    QObject::connect(&HotkeyManager::shared(), &HotkeyManager::hotKeyPressed, appState,
                     &AppState::toggleRecording, Qt::QueuedConnection);

    shell.start();
    return app.exec();
}

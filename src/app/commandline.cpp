#include "app/commandline.h"

#include "common/endpoints.h"

namespace voxendo {

CommandLine CommandLine::parse(const QStringList &arguments)
{
    CommandLine result;
    for (qsizetype i = 1; i < arguments.size(); ++i) {
        const QString &arg = arguments.at(i);
        if (arg == QLatin1String("-h") || arg == QLatin1String("--help")) {
            result.action = Action::ShowHelp;
            return result;
        }
        if (arg == QLatin1String("-v") || arg == QLatin1String("--version")) {
            result.action = Action::ShowVersion;
            return result;
        }
        // Qt's own options (-platform xcb, -reverse, ...) pass through to QApplication.
        static const QStringList qtOptionsWithValue = {
            "-platform", "-platformpluginpath", "-platformtheme", "-plugin", "-display",
            "-style", "-stylesheet", "-qwindowgeometry", "-qwindowtitle", "-qwindowicon", "-session"};
        if (qtOptionsWithValue.contains(arg)) {
            ++i;
            continue;
        }
        if (arg.startsWith(QLatin1Char('-')) && !arg.startsWith(QLatin1String("--")))
            continue;
        static const QStringList commands = {"toggle", "show", "status"};
        if (commands.contains(arg) && result.action == Action::Run && i == 1) {
            result.action = Action::Control;
            result.controlMethod = arg.at(0).toUpper() + arg.mid(1);
            continue;
        }
        result.action = Action::Fail;
        result.message = QStringLiteral("voxendo: unknown argument '%1'\nTry 'voxendo --help'.").arg(arg);
        return result;
    }
    return result;
}

QString CommandLine::versionText()
{
    return QStringLiteral("voxendo %1").arg(QStringLiteral(VOXENDO_VERSION));
}

QString CommandLine::helpText()
{
    return QStringLiteral(
        "Usage: voxendo [OPTION]\n"
        "       voxendo toggle | show | status\n"
        "Dictation for the Linux desktop: press the shortcut (Alt+Space by default) in any\n"
        "application, speak, press it again, and the text is typed at the cursor.\n"
        "\n"
        "With no option Voxendo starts in the system tray.\n"
        "\n"
        "Commands (talk to the running Voxendo over D-Bus):\n"
        "  toggle           start or stop a dictation, like pressing the shortcut;\n"
        "                   bind it to a desktop shortcut where global keys are not\n"
        "                   available (Wayland)\n"
        "  show             bring the Voxendo window to the front\n"
        "  status           print the current status (Ready, Recording..., ...)\n"
        "  They exit with status 1 when Voxendo is not running.\n"
        "\n"
        "Options:\n"
        "  -h, --help       show this help and exit\n"
        "  -v, --version    show the version and exit\n"
        "\n"
        "Environment (development):\n"
        "  VOXENDO_BACKEND_URL      Voxendo backend base URL (https)\n"
        "  VOXENDO_OPENAI_API_BASE  OpenAI API origin\n"
        "  VOXENDO_APPCAST_URL      update feed URL\n"
        "  VOXENDO_EXTRA_CA_FILE    one extra PEM CA certificate to trust\n");
}

} // namespace voxendo

#include "app/commandline.h"
#include "app/controlclient.h"

#include <QApplication>
#include <QTextStream>
#include <cstdio>

int main(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 0; i < argc; ++i)
        arguments.append(QString::fromLocal8Bit(argv[i]));

    const auto command = voxendo::CommandLine::parse(arguments);
    switch (command.action) {
    case voxendo::CommandLine::Action::ShowHelp:
        QTextStream(stdout) << voxendo::CommandLine::helpText();
        return 0;
    case voxendo::CommandLine::Action::ShowVersion:
        QTextStream(stdout) << voxendo::CommandLine::versionText() << '\n';
        return 0;
    case voxendo::CommandLine::Action::Fail:
        QTextStream(stderr) << command.message << '\n';
        return 2;
    case voxendo::CommandLine::Action::Control: {
        QCoreApplication app(argc, argv);
        return voxendo::ControlClient::run(command.controlMethod);
    }
    case voxendo::CommandLine::Action::Run:
        break;
    }

    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Voxendo"));
    QApplication::setApplicationName(QStringLiteral("Voxendo"));
    QApplication::setApplicationVersion(QStringLiteral(VOXENDO_VERSION));
    QApplication::setQuitOnLastWindowClosed(false);
    return app.exec();
}

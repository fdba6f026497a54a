// voxendo-devserver: a development and demo stand-in for the Voxendo services. See --help.
#include "devserver/devserver.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>
#include <sys/socket.h>
#include <unistd.h>

using namespace voxendo::devserver;

namespace {

void printLine(FILE *stream, const QString &line)
{
    const QByteArray bytes = line.toLocal8Bit() + '\n';
    std::fwrite(bytes.constData(), 1, size_t(bytes.size()), stream);
    std::fflush(stream);
}

// SIGINT/SIGTERM end the event loop, so the server finishes its jobs and exits cleanly.
int signalPipe[2] = {-1, -1};

void onSignal(int)
{
    const char c = 1;
    [[maybe_unused]] const auto n = ::write(signalPipe[1], &c, 1);
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("voxendo-devserver"));

    const CommandLine cmd = parseCommandLine(QCoreApplication::arguments());
    switch (cmd.action) {
    case CommandLine::Action::Exit: {
        const QByteArray text = cmd.output.toLocal8Bit();
        std::fwrite(text.constData(), 1, size_t(text.size()), cmd.outputIsError ? stderr : stdout);
        return cmd.exitCode;
    }
    case CommandLine::Action::Confirm: {
        const auto status = DevServer::confirmUser(cmd.options.dataDir, cmd.confirmEmail);
        if (!status.ok()) {
            printLine(stderr, QStringLiteral("voxendo-devserver: ") + status.message);
            return 1;
        }
        printLine(stdout, QStringLiteral("Confirmed %1").arg(cmd.confirmEmail.trimmed().toLower()));
        return 0;
    }
    case CommandLine::Action::Serve:
        break;
    }

    DevServer server(cmd.options);
    QObject::connect(&server, &DevServer::notice, [](const QString &l) { printLine(stdout, l); });
    QObject::connect(&server, &DevServer::accessLog, [](const QString &l) { printLine(stderr, l); });
    QObject::connect(&server, &DevServer::traceLine, [](const QString &l) { printLine(stdout, l); });
    const auto status = server.start();
    if (!status.ok()) {
        printLine(stderr, QStringLiteral("voxendo-devserver: ") + status.message);
        return 1;
    }
    // The URL first, alone on its line: scripts and tests read it.
    const QString url = server.baseUrl().toString();
    printLine(stdout, url);
    printLine(stdout, QStringLiteral("voxendo-devserver (development and demo only) listening on %1").arg(url));
    for (const QString &note : server.startupNotes())
        printLine(stdout, note);
    printLine(stdout, QStringLiteral("CA certificate: %1").arg(server.caCertificatePath()));
    printLine(stdout, QStringLiteral("Run Voxendo against it with:\n  VOXENDO_BACKEND_URL=%1 "
                                     "VOXENDO_OPENAI_API_BASE=%1 VOXENDO_EXTRA_CA_FILE=%2 voxendo")
                          .arg(url, server.caCertificatePath()));

    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) == 0) {
        auto *notifier = new QSocketNotifier(signalPipe[0], QSocketNotifier::Read, &app);
        QObject::connect(notifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
        struct sigaction sa = {};
        sa.sa_handler = onSignal;
        sigemptyset(&sa.sa_mask);
        sa.sa_flags = SA_RESTART;
        ::sigaction(SIGINT, &sa, nullptr);
        ::sigaction(SIGTERM, &sa, nullptr);
    }
    return app.exec();
}

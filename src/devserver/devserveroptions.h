#pragma once

#include "devserver/authservice.h"

#include <QString>
#include <QStringList>

namespace voxendo::devserver {

struct DevServerOptions
{
    quint16 port = 8443; // 0: any free port
    QString dataDir;     // certificates, secrets, users
    QString latestVersion; // empty: null in /config
    QString minVersion;    // empty: null in /config, and no 426
    bool confirmEmail = false;
    bool autoConfirm = false;
    int expiresInSeconds = 3600;
    QStringList openAiKeys;
    QString openAiKeysFile; // empty: <dataDir>/openai-keys.txt
    QString modelDir;
    int pbkdf2Iterations = 100000;
    double maxAudioSeconds = 600;
    bool trace = false; // one timing line per request (see DevServer::traceLine)
    AuthService::Clock clock; // tests only
};

// What the command line asks for.
struct CommandLine
{
    enum class Action { Serve, Confirm, Exit };
    Action action = Action::Serve;
    int exitCode = 0;       // for Exit
    QString output;         // for Exit: the help, the version or the error, printed as is
    bool outputIsError = false;
    QString confirmEmail;   // for Confirm
    DevServerOptions options;
};

QString defaultDataDir();
QString defaultModelDir();
CommandLine parseCommandLine(const QStringList &arguments);

} // namespace voxendo::devserver

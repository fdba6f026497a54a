#include "devserver/devserveroptions.h"

#include "devserver/passwordhash.h"

#include <QCommandLineParser>
#include <QStandardPaths>

namespace voxendo::devserver {

namespace {

const QString kDescription = QStringLiteral(
    "voxendo-devserver: a local stand-in for the Voxendo backend, its hosted auth service and\n"
    "OpenAI's transcription API, so Voxendo can be run, demonstrated and tested end to end\n"
    "without any online service.\n"
    "\n"
    "THIS IS A DEVELOPMENT AND DEMO TOOL, NOT FOR PRODUCTION. It listens on 127.0.0.1 only,\n"
    "keeps its accounts in a plain JSON file, uses a self-made certificate authority and\n"
    "recognises English speech offline with pocketsphinx, far less accurately than a real\n"
    "service.\n"
    "\n"
    "It serves over HTTPS:\n"
    "  GET  /config                     backend configuration (supabaseURL is this server)\n"
    "  POST /auth/v1/signup             account creation\n"
    "  POST /auth/v1/token              sign-in (grant_type=password), refresh (refresh_token)\n"
    "  POST /auth/v1/logout             sign-out (scope=global|local|others)\n"
    "  GET  /auth/v1/user               the signed-in user\n"
    "  POST /v1/audio/transcriptions    transcription: with an access token (backend) or an\n"
    "                                   accepted sk- key (OpenAI stand-in)\n"
    "  GET  /v1/models                  key check (200 for an accepted sk- key, else 401)\n"
    "\n"
    "The first line it prints is its URL. Point Voxendo at it with\n"
    "  VOXENDO_BACKEND_URL=<url> VOXENDO_OPENAI_API_BASE=<url> VOXENDO_EXTRA_CA_FILE=<data dir>/ca.crt\n"
    "\n"
    "Commands:\n"
    "  (none)          run the server\n"
    "  confirm EMAIL   mark an account's e-mail address as confirmed (for --confirm-email);\n"
    "                  works while the server runs");

} // namespace

QString defaultDataDir()
{
    return QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation)
        + QStringLiteral("/voxendo-devserver");
}

QString defaultModelDir()
{
    return QStringLiteral(VOXENDO_DEVSERVER_MODEL_DIR);
}

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine out;
    DevServerOptions &o = out.options;
    QCommandLineParser parser;
    parser.setApplicationDescription(kDescription);
    parser.setSingleDashWordOptionMode(QCommandLineParser::ParseAsLongOptions);
    const QCommandLineOption help({"h", "help"}, QStringLiteral("Show this help and exit."));
    const QCommandLineOption version({"v", "version"}, QStringLiteral("Show the version and exit."));
    const QCommandLineOption port({"p", "port"},
        QStringLiteral("Port on 127.0.0.1 to listen on; 0 picks a free one (default 8443)."),
        QStringLiteral("port"), QStringLiteral("8443"));
    const QCommandLineOption dataDir({"d", "data-dir"},
        QStringLiteral("Where the certificates (ca.crt is the CA for VOXENDO_EXTRA_CA_FILE), the "
                       "keys and users.json are kept (default %1).").arg(defaultDataDir()),
        QStringLiteral("dir"), defaultDataDir());
    const QCommandLineOption latest("latest-version",
        QStringLiteral("latestVersion in /config (default null)."), QStringLiteral("version"));
    const QCommandLineOption minimum("min-version",
        QStringLiteral("minVersion in /config (default null); backend transcriptions from an "
                       "older X-App-Version get 426."), QStringLiteral("version"));
    const QCommandLineOption confirm("confirm-email",
        QStringLiteral("Sign-up waits for e-mail confirmation: it answers a user without a "
                       "session, and sign-in answers \"Email not confirmed\" until "
                       "`voxendo-devserver confirm EMAIL` is run. Default: accounts are usable at once."));
    const QCommandLineOption autoConfirm("auto-confirm",
        QStringLiteral("With --confirm-email: sign-up still answers without a session, but the "
                       "address counts as confirmed at once, so sign-in works right after."));
    const QCommandLineOption expiresIn("expires-in",
        QStringLiteral("Lifetime of access tokens in seconds (default 3600); small values exercise "
                       "the app's refresh."), QStringLiteral("seconds"), QStringLiteral("3600"));
    const QCommandLineOption key("openai-key",
        QStringLiteral("An OpenAI-style key (starting with sk-) to accept; may be repeated."),
        QStringLiteral("key"));
    const QCommandLineOption keysFile("openai-keys-file",
        QStringLiteral("A file of accepted sk- keys, one a line, read at every check (default "
                       "<data dir>/openai-keys.txt; may be absent)."), QStringLiteral("file"));
    const QCommandLineOption modelDir("model-dir",
        QStringLiteral("pocketsphinx model folder holding en-us/, en-us.lm.bin and "
                       "cmudict-en-us.dict (default %1).").arg(defaultModelDir()),
        QStringLiteral("dir"), defaultModelDir());
    const QCommandLineOption maxAudio("max-audio-seconds",
        QStringLiteral("Longest recording transcribed (default 600); longer ones get 400."),
        QStringLiteral("seconds"), QStringLiteral("600"));
    const QCommandLineOption iterations("pbkdf2-iterations",
        QStringLiteral("PBKDF2-SHA256 iterations for new password hashes (default %1, minimum %2; "
                       "lower only for tests).").arg(PasswordHash::kDefaultIterations).arg(PasswordHash::kMinimumIterations),
        QStringLiteral("n"), QString::number(PasswordHash::kDefaultIterations));
    const QCommandLineOption trace("trace",
        QStringLiteral("Print one line per request on standard output, for latency benchmarks:\n"
                       "  trace METHOD PATH STATUS request=N connected=US first-byte=US received=US answered=US\n"
                       "N counts the requests on the connection from 1; US are CLOCK_MONOTONIC "
                       "microseconds: the connection's TLS handshake done, the request's first "
                       "byte read, its last byte read, its answer written."));
    parser.addOptions({help, version, port, dataDir, latest, minimum, confirm, autoConfirm,
                       expiresIn, key, keysFile, modelDir, maxAudio, iterations, trace});
    parser.addPositionalArgument(QStringLiteral("command"),
                                 QStringLiteral("Optional: confirm EMAIL (see above)."),
                                 QStringLiteral("[confirm EMAIL]"));

    auto exitWith = [&out](int code, const QString &text, bool isError) {
        out.action = CommandLine::Action::Exit;
        out.exitCode = code;
        out.output = text;
        out.outputIsError = isError;
        return out;
    };

    if (!parser.parse(arguments))
        return exitWith(2, parser.errorText() + QStringLiteral("\nTry --help.\n"), true);
    if (parser.isSet(help))
        return exitWith(0, parser.helpText(), false);
    if (parser.isSet(version))
        return exitWith(0, QStringLiteral("voxendo-devserver " VOXENDO_DEVSERVER_VERSION "\n"), false);

    bool ok = false;
    const uint p = parser.value(port).toUInt(&ok);
    if (!ok || p > 65535)
        return exitWith(2, QStringLiteral("--port wants a number from 0 to 65535\n"), true);
    o.port = quint16(p);
    o.dataDir = parser.value(dataDir);
    o.latestVersion = parser.value(latest);
    o.minVersion = parser.value(minimum);
    o.confirmEmail = parser.isSet(confirm);
    o.autoConfirm = parser.isSet(autoConfirm);
    if (o.autoConfirm && !o.confirmEmail)
        return exitWith(2, QStringLiteral("--auto-confirm only makes sense with --confirm-email\n"), true);
    o.expiresInSeconds = parser.value(expiresIn).toInt(&ok);
    if (!ok || o.expiresInSeconds < 1)
        return exitWith(2, QStringLiteral("--expires-in wants a positive number of seconds\n"), true);
    o.openAiKeys = parser.values(key);
    for (const QString &k : std::as_const(o.openAiKeys)) {
        if (!k.startsWith(QLatin1String("sk-")))
            return exitWith(2, QStringLiteral("--openai-key: keys start with sk-\n"), true);
    }
    o.openAiKeysFile = parser.isSet(keysFile) ? parser.value(keysFile)
                                              : o.dataDir + QStringLiteral("/openai-keys.txt");
    o.modelDir = parser.value(modelDir);
    o.maxAudioSeconds = parser.value(maxAudio).toDouble(&ok);
    if (!ok || o.maxAudioSeconds <= 0)
        return exitWith(2, QStringLiteral("--max-audio-seconds wants a positive number\n"), true);
    o.trace = parser.isSet(trace);
    o.pbkdf2Iterations = parser.value(iterations).toInt(&ok);
    if (!ok || o.pbkdf2Iterations < PasswordHash::kMinimumIterations)
        return exitWith(2, QStringLiteral("--pbkdf2-iterations wants a number of at least %1\n")
                               .arg(PasswordHash::kMinimumIterations), true);

    const QStringList positional = parser.positionalArguments();
    if (positional.isEmpty())
        return out;
    if (positional.value(0) == QLatin1String("confirm") && positional.size() == 2) {
        out.action = CommandLine::Action::Confirm;
        out.confirmEmail = positional[1];
        return out;
    }
    return exitWith(2, QStringLiteral("unknown command: %1\nTry --help.\n").arg(positional.join(u' ')), true);
}

} // namespace voxendo::devserver

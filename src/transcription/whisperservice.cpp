#include "transcription/whisperservice.h"

#include "common/endpoints.h"
#include "common/network.h"
#include "common/text.h"
#include "common/trace.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSettings>
#include <QStringDecoder>
#include <QThread>
#include <QTimer>
#include <QUuid>

#include <charconv>
#include <cmath>
#include <memory>

namespace voxendo {

namespace {

constexpr int errorBodyCut = 200; // characters of an error body shown to the user

using Cause = WhisperError::Cause;

WhisperResult fail(WhisperError error)
{
    return WhisperResult::failure(std::move(error));
}

bool isHttps(const QUrl &url)
{
    return url.scheme().compare(QLatin1String("https"), Qt::CaseInsensitive) == 0;
}

// Strict, like the URL parsers of other platforms: a string with spaces or stray characters is
// not a URL at all.
QUrl parseUrl(const QString &text)
{
    if (text.isEmpty())
        return {};
    const QUrl url(text, QUrl::StrictMode);
    return url.isValid() ? url : QUrl();
}

std::optional<QString> decodeUtf8(const QByteArray &bytes)
{
    // Stateless: a sequence cut at the end is an error, not something to wait for. The initial
    // BOM is kept so the text shows every byte the server sent.
    QStringDecoder decoder(QStringDecoder::Utf8,
                           QStringDecoder::Flag::Stateless | QStringDecoder::Flag::ConvertInitialBom);
    QString text = decoder.decode(bytes);
    if (decoder.hasError())
        return std::nullopt;
    return text;
}

// Cuts at user-perceived characters, so an emoji or an accented letter is never split into
// invalid halves.
QString cutErrorBody(const QString &text)
{
    if (Text::characterCount(text) <= errorBodyCut)
        return text;
    return Text::leftCharacters(text, errorBodyCut) + QStringLiteral("...");
}

// Failures of the exchange itself (connection, TLS, proxy, a reply cut short) as opposed to an
// answer from the server. Qt reports an HTTP error status through error() as well (400 as
// ProtocolInvalidOperationError, 404 as ContentNotFoundError, 407 as
// ProxyAuthenticationRequiredError, ...): once a status line is in hand, only the network-layer
// codes and ProtocolFailure (a malformed answer) still mean the exchange failed.
bool isTransportError(QNetworkReply::NetworkError error, bool hasStatus)
{
    if (error == QNetworkReply::NoError)
        return false;
    if (!hasStatus)
        return true;
    if (error == QNetworkReply::ProxyAuthenticationRequiredError)
        return false;
    return error < QNetworkReply::ContentAccessDenied || error == QNetworkReply::ProtocolFailure;
}

WhisperResult parseSuccessBody(const QByteArray &body)
{
    QJsonParseError parseError;
    const QJsonDocument document = QJsonDocument::fromJson(body, &parseError);
    if (parseError.error != QJsonParseError::NoError) {
        return fail(WhisperError::networkError(
            {Cause::Domain::Json, int(parseError.error),
             QStringLiteral("The server's answer is not valid JSON (%1)").arg(parseError.errorString())}));
    }
    const QString bodyText = decodeUtf8(body).value_or(QStringLiteral("Unknown"));
    if (!document.isObject())
        return fail(WhisperError::apiError(QStringLiteral("Parse error: ") + bodyText));

    const QJsonObject object = document.object();
    const QJsonValue text = object.value(QLatin1String("text"));
    if (text.isString())
        return WhisperResult::success(text.toString());

    const QJsonValue message = object.value(QLatin1String("error")).toObject().value(QLatin1String("message"));
    if (object.value(QLatin1String("error")).isObject() && message.isString())
        return fail(WhisperError::apiError(message.toString()));

    return fail(WhisperError::apiError(QStringLiteral("Unexpected response: ") + bodyText));
}

WhisperResult handleResponse(QNetworkReply *reply, bool timedOut)
{
    if (timedOut) {
        return fail(WhisperError::networkError({Cause::Domain::Network, QNetworkReply::TimeoutError,
                                                QStringLiteral("The request timed out")}));
    }
    const QVariant statusAttribute = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute);
    const QNetworkReply::NetworkError error = reply->error();
    if (isTransportError(error, statusAttribute.isValid()))
        return fail(WhisperError::networkError({Cause::Domain::Network, int(error), reply->errorString()}));
    if (!statusAttribute.isValid())
        return fail(WhisperError::invalidResponse());

    const int status = statusAttribute.toInt();
    if (status == 426)
        return fail(WhisperError::updateRequired());
    const QByteArray body = reply->readAll();
    if (status != 200) {
        const QString bodyText = cutErrorBody(decodeUtf8(body).value_or(QStringLiteral("No body")));
        return fail(WhisperError::apiError(QStringLiteral("HTTP %1: ").arg(status) + bodyText));
    }
    return parseSuccessBody(body);
}

// Calls the completion once, whichever of "finished", the deadline or the reply's destruction
// comes first.
struct Exchange
{
    WhisperService::Completion completion;
    bool timedOut = false;
    bool done = false;

    void complete(const WhisperResult &result)
    {
        if (done)
            return;
        done = true;
        auto callback = std::move(completion);
        completion = nullptr;
        if (callback)
            callback(result);
    }
};

// Runs on the manager's thread.
void startExchange(QNetworkAccessManager *manager, const QNetworkRequest &request,
                   const QByteArray &body, WhisperService::Completion completion,
                   std::chrono::milliseconds timeout)
{
    auto exchange = std::make_shared<Exchange>();
    exchange->completion = std::move(completion);

    QNetworkReply *reply = manager->post(request, body);
    trace("upload-started");

    const auto onFinished = [reply, exchange] {
        trace("answer-received");
        const WhisperResult result = handleResponse(reply, exchange->timedOut);
        reply->deleteLater();
        exchange->complete(result);
    };
    // Qt reports early failures from the event loop, but make sure a reply that is already
    // finished is still answered later, never inside transcribe().
    if (reply->isFinished())
        QTimer::singleShot(0, reply, onFinished);
    else
        QObject::connect(reply, &QNetworkReply::finished, reply, onFinished);

    // The manager deletes its replies when it goes away; the caller still gets its answer.
    QObject::connect(reply, &QObject::destroyed, [exchange] {
        exchange->complete(fail(WhisperError::networkError(
            {Cause::Domain::Network, QNetworkReply::OperationCanceledError,
             QStringLiteral("The request was cancelled")})));
    });

    // A hard deadline for the whole exchange, not an inactivity timer: the user is watching
    // "Processing..." and must get text or an error within this time whatever the server does.
    // Qt's transfer time-out only measures silence, so a server that trickles a byte now and
    // then would hold the dictation forever. 60 s covers the upload of a full-length recording
    // on a slow uplink plus the transcription itself.
    auto *deadline = new QTimer(reply);
    deadline->setSingleShot(true);
    QObject::connect(deadline, &QTimer::timeout, reply, [reply, exchange] {
        exchange->timedOut = true;
        reply->abort(); // emits finished, which reports the time-out
    });
    deadline->start(timeout);
}

} // namespace

const QSet<QString> &WhisperService::supportedLanguages()
{
    static const QSet<QString> languages = {
        QStringLiteral("auto"), QStringLiteral("en"), QStringLiteral("ru"), QStringLiteral("es"),
        QStringLiteral("fr"),   QStringLiteral("de"), QStringLiteral("it"), QStringLiteral("pt"),
        QStringLiteral("ja"),   QStringLiteral("ko"), QStringLiteral("zh"), QStringLiteral("ar"),
        QStringLiteral("hi"),   QStringLiteral("nl"), QStringLiteral("pl"), QStringLiteral("tr"),
        QStringLiteral("vi"),   QStringLiteral("th"), QStringLiteral("id"), QStringLiteral("cs"),
        QStringLiteral("ro"),   QStringLiteral("hu"), QStringLiteral("el"), QStringLiteral("da"),
        QStringLiteral("fi"),   QStringLiteral("no"), QStringLiteral("sv"), QStringLiteral("he"),
        QStringLiteral("uk"),   QStringLiteral("bg"), QStringLiteral("hr"), QStringLiteral("sk"),
        QStringLiteral("sl"),
    };
    return languages;
}

QString WhisperService::proxyBaseURL()
{
    const QVariant stored = QSettings().value(proxyURLSettingsKey);
    if (!stored.isValid() || !stored.canConvert<QString>())
        return Endpoints::backendBaseUrl();
    const QString text = stored.toString();
    const QUrl url = parseUrl(text);
    if (!url.isValid() || !isHttps(url))
        return Endpoints::backendBaseUrl();
    return text;
}

QByteArray WhisperService::durationText(double seconds)
{
    if (!std::isfinite(seconds))
        return {};
    char buffer[400]; // fixed notation of any finite double fits
    const auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, seconds, std::chars_format::fixed);
    if (ec != std::errc())
        return {};
    QByteArray text(buffer, end - buffer);
    if (!text.contains('.'))
        text += ".0";
    return text;
}

QByteArray WhisperService::createMultipartBody(const QByteArray &audio, const QString &fileName,
                                               const QString &language, double duration,
                                               const QString &boundary)
{
    static constexpr char crlf[] = "\r\n";
    const QByteArray b = boundary.toUtf8();

    // Recorder names are plain, but a quote or a line break in a name would end the header
    // early and let the name write its own header lines: escape those three as browsers do.
    QByteArray name = fileName.toUtf8();
    name.replace('"', "%22").replace('\r', "%0D").replace('\n', "%0A");

    QByteArray body;
    body.reserve(audio.size() + 512);
    body += "--" + b + crlf;
    body += "Content-Disposition: form-data; name=\"file\"; filename=\"" + name + '"' + crlf;
    body += QByteArray("Content-Type: audio/m4a") + crlf + crlf;
    body += audio;
    body += crlf;
    body += "--" + b + crlf;
    body += QByteArray("Content-Disposition: form-data; name=\"model\"") + crlf + crlf;
    body += QByteArray("whisper-1") + crlf;
    if (language != QLatin1String("auto")) {
        body += "--" + b + crlf;
        body += QByteArray("Content-Disposition: form-data; name=\"language\"") + crlf + crlf;
        body += language.toUtf8() + crlf;
    }
    if (std::isfinite(duration) && duration > 0) {
        body += "--" + b + crlf;
        body += QByteArray("Content-Disposition: form-data; name=\"durationSeconds\"") + crlf + crlf;
        body += durationText(duration) + crlf;
    }
    body += "--" + b + "--" + crlf;
    return body;
}

void WhisperService::transcribe(const QUrl &audioURL, const QString &language,
                                const std::optional<QString> &apiKey,
                                const std::optional<QString> &accessToken, double duration,
                                Completion completion)
{
    transcribe(audioURL, language, apiKey, accessToken, duration, std::move(completion), Transport{});
}

void WhisperService::transcribe(const QUrl &audioURL, const QString &language,
                                const std::optional<QString> &apiKey,
                                const std::optional<QString> &accessToken, double duration,
                                Completion completion, const Transport &transport)
{
    if (!completion)
        completion = [](const WhisperResult &) {};

    if (!supportedLanguages().contains(language.toLower())) {
        completion(fail(WhisperError::invalidLanguage()));
        return;
    }

    // Both routes must be https: the request carries a bearer secret. The own-key address is
    // built in, but a development override could make it plain http.
    QUrl url;
    if (apiKey) {
        url = parseUrl(Endpoints::openAiApiBase() + transcriptionPath);
    } else {
        const QString base = proxyBaseURL().trimmed();
        if (!base.isEmpty())
            url = parseUrl(base + transcriptionPath);
    }
    if (!url.isValid()) {
        completion(fail(WhisperError::noProxyURL()));
        return;
    }
    if (!isHttps(url)) {
        completion(fail(WhisperError::invalidProxyURL()));
        return;
    }

    const QString boundary = QUuid::createUuid().toString(QUuid::WithoutBraces).toUpper();
    QNetworkRequest request = Network::request(url);
    // Follow redirects only within the same origin, so the bearer secret never goes elsewhere.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::SameOriginRedirectPolicy);
    if (apiKey) {
        request.setRawHeader("Authorization", "Bearer " + apiKey->toUtf8());
    } else if (accessToken) {
        request.setRawHeader("Authorization", "Bearer " + accessToken->toUtf8());
        request.setRawHeader("X-App-Version", Endpoints::appVersion().toUtf8());
    }
    request.setRawHeader("Content-Type", "multipart/form-data; boundary=" + boundary.toUtf8());

    QFile file(audioURL.toLocalFile());
    if (!file.open(QIODevice::ReadOnly)) {
        completion(fail(WhisperError::networkError({Cause::Domain::File, int(file.error()), file.errorString()})));
        return;
    }
    const QByteArray audio = file.readAll();
    if (file.error() != QFileDevice::NoError) {
        completion(fail(WhisperError::networkError({Cause::Domain::File, int(file.error()), file.errorString()})));
        return;
    }
    file.close();

    const double durationToSend = apiKey ? 0.0 : duration;
    const QByteArray body = createMultipartBody(audio, audioURL.fileName(), language, durationToSend, boundary);

    QNetworkAccessManager *manager = transport.manager ? transport.manager : Network::manager();
    const auto timeout = transport.timeout;
    if (QThread::currentThread() == manager->thread()) {
        startExchange(manager, request, body, std::move(completion), timeout);
    } else {
        // QNetworkAccessManager may only be used from its own thread.
        QMetaObject::invokeMethod(
            manager,
            [manager, request, body, completion = std::move(completion), timeout]() mutable {
                startExchange(manager, request, body, std::move(completion), timeout);
            },
            Qt::QueuedConnection);
    }
}

} // namespace voxendo

#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QUrlQuery>

#include <functional>

namespace voxendo::devserver {

using HeaderList = QList<QPair<QByteArray, QByteArray>>;

// First value of a header, matched case-insensitively; empty when absent.
QByteArray headerValue(const HeaderList &headers, const QByteArray &name);

struct HttpRequest
{
    QByteArray method;
    QByteArray target; // as sent: path and query
    QByteArray path;   // target up to '?', not percent-decoded
    QByteArray query;  // after '?', undecoded
    QByteArray version; // "HTTP/1.1" or "HTTP/1.0"
    HeaderList headers;
    QByteArray body;

    QByteArray header(const QByteArray &name) const { return headerValue(headers, name); }
    bool hasHeader(const QByteArray &name) const;
    QUrlQuery queryItems() const;
    // HTTP/1.1 keeps the connection unless the client says close; HTTP/1.0 only on request.
    bool wantsKeepAlive() const;
};

struct HttpResponse
{
    int status = 200;
    HeaderList headers;
    QByteArray body;

    static HttpResponse json(int status, const QJsonObject &object);
    static HttpResponse text(int status, const QByteArray &body,
                             const QByteArray &contentType = "text/plain; charset=utf-8");
    static HttpResponse empty(int status);
    HttpResponse &withHeader(const QByteArray &name, const QByteArray &value)
    {
        headers.append({name, value});
        return *this;
    }
    QByteArray header(const QByteArray &name) const { return headerValue(headers, name); }

    // Status line, headers (with Content-Length and Connection added) and body.
    QByteArray serialize(bool keepAlive) const;
};

QByteArray reasonPhrase(int status);

// Reads HTTP/1.x requests from a byte stream, one at a time. Bodies come either with a
// Content-Length or chunked; their size is bounded per request by `bodyLimit`, which is asked
// once the head has arrived so a too-large upload is refused before its body is read.
class HttpRequestParser
{
public:
    enum class State {
        Head,     // waiting for the request line and headers
        Body,     // head complete, reading the body
        Complete, // one whole request is available through take()
        Failed,   // the stream is unusable: answer errorStatus() and close
    };
    using BodyLimit = std::function<qint64(const HttpRequest &head)>;

    static constexpr qsizetype kMaxHeadBytes = 64 * 1024;

    explicit HttpRequestParser(BodyLimit bodyLimit);

    // Appends bytes and advances as far as they allow. Stops at Complete until take().
    void feed(const QByteArray &bytes);
    State state() const { return m_state; }
    // The request line and headers; valid from State::Body on (and in Failed when the head was read).
    const HttpRequest &head() const { return m_request; }
    bool hasHead() const { return m_headParsed; }
    // True once when the head asked for "Expect: 100-continue" and its body is still to come.
    bool takeContinueRequest();

    int errorStatus() const { return m_errorStatus; }
    QByteArray errorMessage() const { return m_errorMessage; }
    qint64 bodyLimitInForce() const { return m_limit; }

    // Hands out the complete request and starts on the next one with the bytes left over.
    HttpRequest take();

private:
    void advance();
    bool parseHead();
    bool readChunked();
    void fail(int status, QByteArray message);

    BodyLimit m_bodyLimit;
    State m_state = State::Head;
    QByteArray m_buffer;
    HttpRequest m_request;
    bool m_headParsed = false;
    bool m_chunked = false;
    bool m_continuePending = false;
    qint64 m_contentLength = 0;
    qint64 m_limit = 0;
    // Chunked decoding state.
    qint64 m_chunkRemaining = -1; // -1: expecting a size line
    bool m_inTrailer = false;
    qsizetype m_scanFrom = 0; // where the next search for a line end starts
    int m_errorStatus = 0;
    QByteArray m_errorMessage;
};

} // namespace voxendo::devserver

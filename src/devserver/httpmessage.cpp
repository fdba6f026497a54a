#include "devserver/httpmessage.h"

#include <QJsonDocument>

namespace voxendo::devserver {

namespace {

bool isTokenChar(char c)
{
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9'))
        return true;
    return QByteArrayView("!#$%&'*+-.^_`|~").contains(c);
}

bool isToken(QByteArrayView s)
{
    if (s.isEmpty())
        return false;
    for (char c : s) {
        if (!isTokenChar(c))
            return false;
    }
    return true;
}

// A decimal Content-Length: digits only, no sign, no overflow.
bool parseLength(const QByteArray &text, qint64 &out)
{
    if (text.isEmpty() || text.size() > 18)
        return false;
    qint64 v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + (c - '0');
    }
    out = v;
    return true;
}

constexpr qsizetype kMaxChunkLine = 1024;

} // namespace

QByteArray headerValue(const HeaderList &headers, const QByteArray &name)
{
    for (const auto &[key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

bool HttpRequest::hasHeader(const QByteArray &name) const
{
    for (const auto &h : headers) {
        if (h.first.compare(name, Qt::CaseInsensitive) == 0)
            return true;
    }
    return false;
}

QUrlQuery HttpRequest::queryItems() const
{
    return QUrlQuery(QString::fromUtf8(query));
}

bool HttpRequest::wantsKeepAlive() const
{
    const QByteArray connection = header("Connection").toLower();
    if (version == "HTTP/1.0")
        return connection.contains("keep-alive");
    return !connection.contains("close");
}

HttpResponse HttpResponse::json(int status, const QJsonObject &object)
{
    return text(status, QJsonDocument(object).toJson(QJsonDocument::Compact), "application/json");
}

HttpResponse HttpResponse::text(int status, const QByteArray &body, const QByteArray &contentType)
{
    HttpResponse r;
    r.status = status;
    r.body = body;
    r.headers.append({"Content-Type", contentType});
    return r;
}

HttpResponse HttpResponse::empty(int status)
{
    HttpResponse r;
    r.status = status;
    return r;
}

QByteArray HttpResponse::serialize(bool keepAlive) const
{
    QByteArray out = "HTTP/1.1 " + QByteArray::number(status) + ' ' + reasonPhrase(status) + "\r\n";
    for (const auto &[name, value] : headers) {
        // Framing is ours to decide; a handler's own values would contradict the bytes sent.
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0
            || name.compare("Connection", Qt::CaseInsensitive) == 0
            || name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0)
            continue;
        out += name + ": " + value + "\r\n";
    }
    // 1xx, 204 and 304 carry no body and no length.
    if (status >= 200 && status != 204 && status != 304)
        out += "Content-Length: " + QByteArray::number(body.size()) + "\r\n";
    out += keepAlive ? "Connection: keep-alive\r\n" : "Connection: close\r\n";
    out += "\r\n";
    if (status >= 200 && status != 204 && status != 304)
        out += body;
    return out;
}

QByteArray reasonPhrase(int status)
{
    switch (status) {
    case 100: return "Continue";
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 303: return "See Other";
    case 400: return "Bad Request";
    case 401: return "Unauthorized";
    case 403: return "Forbidden";
    case 404: return "Not Found";
    case 405: return "Method Not Allowed";
    case 408: return "Request Timeout";
    case 411: return "Length Required";
    case 413: return "Payload Too Large";
    case 415: return "Unsupported Media Type";
    case 422: return "Unprocessable Entity";
    case 426: return "Upgrade Required";
    case 429: return "Too Many Requests";
    case 431: return "Request Header Fields Too Large";
    case 500: return "Internal Server Error";
    case 501: return "Not Implemented";
    case 503: return "Service Unavailable";
    case 505: return "HTTP Version Not Supported";
    default: return "Status";
    }
}

HttpRequestParser::HttpRequestParser(BodyLimit bodyLimit)
    : m_bodyLimit(std::move(bodyLimit))
{
}

void HttpRequestParser::feed(const QByteArray &bytes)
{
    if (m_state == State::Failed)
        return;
    m_buffer += bytes;
    advance();
}

bool HttpRequestParser::takeContinueRequest()
{
    const bool pending = m_continuePending && m_state == State::Body;
    m_continuePending = false;
    return pending;
}

HttpRequest HttpRequestParser::take()
{
    HttpRequest out = std::move(m_request);
    m_request = HttpRequest();
    m_state = State::Head;
    m_headParsed = false;
    m_chunked = false;
    m_continuePending = false;
    m_contentLength = 0;
    m_limit = 0;
    m_chunkRemaining = -1;
    m_inTrailer = false;
    m_scanFrom = 0;
    advance();
    return out;
}

void HttpRequestParser::fail(int status, QByteArray message)
{
    m_state = State::Failed;
    m_errorStatus = status;
    m_errorMessage = std::move(message);
    m_buffer.clear();
}

void HttpRequestParser::advance()
{
    if (m_state == State::Head) {
        if (!parseHead())
            return;
    }
    if (m_state != State::Body)
        return;
    if (m_chunked) {
        if (readChunked())
            m_state = State::Complete;
        return;
    }
    const qint64 missing = m_contentLength - m_request.body.size();
    const qsizetype n = qsizetype(qMin<qint64>(missing, m_buffer.size()));
    if (n > 0) {
        m_request.body += QByteArrayView(m_buffer).first(n);
        m_buffer.remove(0, n);
    }
    if (m_request.body.size() == m_contentLength)
        m_state = State::Complete;
}

bool HttpRequestParser::parseHead()
{
    // Tolerate blank lines before a request line (RFC 9112 2.2).
    while (m_buffer.startsWith("\r\n"))
        m_buffer.remove(0, 2);
    // Resume the search where the last one stopped: a head trickling in byte by byte must not
    // cost a scan of everything before it each time.
    const qsizetype end = m_buffer.indexOf("\r\n\r\n", m_scanFrom);
    if (end < 0) {
        if (m_buffer.size() > kMaxHeadBytes)
            fail(431, "Request headers are too large");
        m_scanFrom = qMax<qsizetype>(0, m_buffer.size() - 3);
        return false;
    }
    m_scanFrom = 0;
    if (end > kMaxHeadBytes) {
        fail(431, "Request headers are too large");
        return false;
    }
    // Every line of the head, the request line included, ends in CRLF.
    QList<QByteArray> lines = m_buffer.first(end + 2).split('\n');
    lines.removeLast(); // the empty piece after the last LF
    m_buffer.remove(0, end + 4);
    for (QByteArray &line : lines) {
        if (!line.endsWith('\r')) {
            fail(400, "Header lines must end in CRLF");
            return false;
        }
        line.chop(1);
    }

    HttpRequest &r = m_request;
    const QList<QByteArray> parts = lines.value(0).split(' ');
    if (parts.size() != 3 || !isToken(parts[0]) || parts[1].isEmpty()) {
        fail(400, "Malformed request line");
        return false;
    }
    r.method = parts[0];
    r.target = parts[1];
    r.version = parts[2];
    if (r.version != "HTTP/1.1" && r.version != "HTTP/1.0") {
        fail(505, "Only HTTP/1.0 and HTTP/1.1 are supported");
        return false;
    }
    const qsizetype q = r.target.indexOf('?');
    r.path = q < 0 ? r.target : r.target.left(q);
    r.query = q < 0 ? QByteArray() : r.target.mid(q + 1);

    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray &line = lines[i];
        const qsizetype colon = line.indexOf(':');
        // Folded continuation lines and names with spaces are refused, as RFC 9112 asks.
        if (colon <= 0 || !isToken(QByteArrayView(line).first(colon))) {
            fail(400, "Malformed header line");
            return false;
        }
        r.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    m_headParsed = true;

    // Framing. Two conflicting lengths, or a length beside chunked coding, is how requests get
    // smuggled past proxies: refuse rather than guess.
    QList<QByteArray> lengths;
    QByteArray transferEncoding;
    for (const auto &[name, value] : r.headers) {
        if (name.compare("Content-Length", Qt::CaseInsensitive) == 0)
            lengths.append(value);
        else if (name.compare("Transfer-Encoding", Qt::CaseInsensitive) == 0)
            transferEncoding += (transferEncoding.isEmpty() ? "" : ",") + value.toLower();
    }
    if (!transferEncoding.isEmpty()) {
        if (!lengths.isEmpty()) {
            fail(400, "Content-Length and Transfer-Encoding together");
            return false;
        }
        if (transferEncoding.replace(' ', "") != "chunked") {
            fail(501, "Only the chunked transfer coding is supported");
            return false;
        }
        m_chunked = true;
    } else if (!lengths.isEmpty()) {
        for (const QByteArray &l : lengths) {
            qint64 v = 0;
            if (!parseLength(l, v) || (l != lengths.first())) {
                fail(400, "Invalid Content-Length");
                return false;
            }
            m_contentLength = v;
        }
    }

    m_limit = m_bodyLimit ? m_bodyLimit(r) : std::numeric_limits<qint64>::max();
    if (!m_chunked && m_contentLength > m_limit) {
        fail(413, "Request body is too large");
        return false;
    }
    const bool bodyFollows = m_chunked || m_contentLength > 0;
    m_continuePending = bodyFollows && r.header("Expect").toLower() == "100-continue";
    if (!m_chunked && m_contentLength > 0)
        r.body.reserve(qsizetype(m_contentLength));
    m_state = State::Body;
    return true;
}

bool HttpRequestParser::readChunked()
{
    for (;;) {
        if (m_inTrailer) {
            // Trailer fields are read and dropped; an empty line ends the message.
            const qsizetype eol = m_buffer.indexOf("\r\n", m_scanFrom);
            if (eol < 0) {
                if (m_buffer.size() > kMaxHeadBytes)
                    fail(431, "Chunked trailer is too large");
                m_scanFrom = qMax<qsizetype>(0, m_buffer.size() - 1);
                return false;
            }
            m_scanFrom = 0;
            m_buffer.remove(0, eol + 2);
            if (eol == 0)
                return true;
            continue;
        }
        if (m_chunkRemaining == -2) { // CRLF after chunk data
            if (m_buffer.size() < 2)
                return false;
            if (!m_buffer.startsWith("\r\n")) {
                fail(400, "Malformed chunked body");
                return false;
            }
            m_buffer.remove(0, 2);
            m_chunkRemaining = -1;
        }
        if (m_chunkRemaining == -1) {
            const qsizetype eol = m_buffer.indexOf("\r\n");
            if (eol < 0) {
                if (m_buffer.size() > kMaxChunkLine)
                    fail(400, "Malformed chunk size");
                return false;
            }
            const QByteArray sizeText = m_buffer.first(eol).split(';').value(0).trimmed();
            m_buffer.remove(0, eol + 2);
            bool ok = false;
            const qint64 size = sizeText.size() <= 15 ? sizeText.toLongLong(&ok, 16) : -1;
            if (!ok || size < 0 || sizeText.startsWith('-') || sizeText.startsWith('+')) {
                fail(400, "Malformed chunk size");
                return false;
            }
            if (size == 0) {
                m_inTrailer = true;
                continue;
            }
            if (m_request.body.size() + size > m_limit) {
                fail(413, "Request body is too large");
                return false;
            }
            m_chunkRemaining = size;
        }
        const qsizetype n = qsizetype(qMin<qint64>(m_chunkRemaining, m_buffer.size()));
        if (n > 0) {
            m_request.body += QByteArrayView(m_buffer).first(n);
            m_buffer.remove(0, n);
            m_chunkRemaining -= n;
        }
        if (m_chunkRemaining > 0)
            return false;
        m_chunkRemaining = -2;
    }
}

} // namespace voxendo::devserver

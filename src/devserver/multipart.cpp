#include "devserver/multipart.h"

namespace voxendo::devserver {

namespace {

platform::Result<FormData> failure(const QString &message)
{
    return platform::Result<FormData>::failure(platform::Status::failure(1, message));
}

// Splits "a; b=c; d=\"e;f\"" into parameters, honouring quotes and backslash escapes.
QList<QPair<QByteArray, QByteArray>> parameters(const QByteArray &header)
{
    QList<QPair<QByteArray, QByteArray>> out;
    qsizetype i = header.indexOf(';');
    while (i >= 0 && i < header.size()) {
        ++i; // past ';'
        while (i < header.size() && (header[i] == ' ' || header[i] == '\t'))
            ++i;
        const qsizetype eq = header.indexOf('=', i);
        const qsizetype semi = header.indexOf(';', i);
        if (eq < 0 || (semi >= 0 && semi < eq)) {
            i = semi;
            continue;
        }
        const QByteArray key = header.mid(i, eq - i).trimmed().toLower();
        i = eq + 1;
        QByteArray value;
        if (i < header.size() && header[i] == '"') {
            ++i;
            while (i < header.size() && header[i] != '"') {
                if (header[i] == '\\' && i + 1 < header.size())
                    ++i;
                value += header[i++];
            }
            i = header.indexOf(';', i);
        } else {
            const qsizetype end = header.indexOf(';', i);
            value = header.mid(i, end < 0 ? -1 : end - i).trimmed();
            i = end;
        }
        out.append({key, value});
    }
    return out;
}

QByteArray parameter(const QByteArray &header, const QByteArray &name)
{
    for (const auto &[key, value] : parameters(header)) {
        if (key == name)
            return value;
    }
    return {};
}

} // namespace

const FormPart *FormData::field(const QByteArray &name) const
{
    for (const FormPart &p : parts) {
        if (p.name == name)
            return &p;
    }
    return nullptr;
}

QByteArray multipartBoundary(const QByteArray &contentType)
{
    const QByteArray type = contentType.split(';').value(0).trimmed().toLower();
    if (type != "multipart/form-data")
        return {};
    const QByteArray boundary = parameter(contentType, "boundary");
    // RFC 2046: 1 to 70 characters.
    if (boundary.isEmpty() || boundary.size() > 70)
        return {};
    return boundary;
}

platform::Result<FormData> parseFormData(const QByteArray &contentType, const QByteArray &body)
{
    const QByteArray boundary = multipartBoundary(contentType);
    if (boundary.isEmpty())
        return failure(QStringLiteral("Expected a multipart/form-data body with a boundary"));

    const QByteArray delimiter = "--" + boundary;
    // The first delimiter may follow a preamble; every later one starts a line.
    qsizetype pos = body.startsWith(delimiter) ? 0 : body.indexOf("\r\n" + delimiter);
    if (pos < 0)
        return failure(QStringLiteral("Malformed multipart body: no boundary found"));
    if (pos > 0)
        pos += 2;
    const QByteArray nextDelimiter = "\r\n" + delimiter;

    FormData form;
    for (;;) {
        pos += delimiter.size();
        if (body.mid(pos, 2) == "--")
            return platform::Result<FormData>::success(std::move(form));
        // Transport padding after a delimiter is allowed, then CRLF.
        while (pos < body.size() && (body[pos] == ' ' || body[pos] == '\t'))
            ++pos;
        if (body.mid(pos, 2) != "\r\n")
            return failure(QStringLiteral("Malformed multipart body: bad delimiter line"));
        pos += 2;

        const qsizetype headEnd = body.indexOf("\r\n\r\n", pos);
        const qsizetype dataEnd = body.indexOf(nextDelimiter, pos);
        if (dataEnd < 0)
            return failure(QStringLiteral("Malformed multipart body: missing closing boundary"));

        FormPart part;
        qsizetype dataStart;
        if (body.mid(pos, 2) == "\r\n") { // a part with no headers
            dataStart = pos + 2;
        } else {
            if (headEnd < 0 || headEnd > dataEnd)
                return failure(QStringLiteral("Malformed multipart body: part headers not terminated"));
            dataStart = headEnd + 4;
            for (const QByteArray &line : body.mid(pos, headEnd - pos).split('\n')) {
                const QByteArray l = line.endsWith('\r') ? line.chopped(1) : line;
                const qsizetype colon = l.indexOf(':');
                if (colon <= 0)
                    continue;
                const QByteArray name = l.left(colon).trimmed().toLower();
                const QByteArray value = l.mid(colon + 1).trimmed();
                if (name == "content-disposition") {
                    if (value.split(';').value(0).trimmed().toLower() != "form-data")
                        return failure(QStringLiteral("Malformed multipart body: part is not form-data"));
                    part.name = parameter(value, "name");
                    part.fileName = parameter(value, "filename");
                } else if (name == "content-type") {
                    part.contentType = value;
                }
            }
        }
        if (part.name.isEmpty())
            return failure(QStringLiteral("Malformed multipart body: part without a field name"));
        part.data = body.mid(dataStart, dataEnd - dataStart);
        form.parts.append(std::move(part));
        pos = dataEnd + 2;
    }
}

} // namespace voxendo::devserver

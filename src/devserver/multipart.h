#pragma once

#include "platform/status.h"

#include <QByteArray>
#include <QList>

namespace voxendo::devserver {

// One field of a multipart/form-data body.
struct FormPart
{
    QByteArray name;
    QByteArray fileName; // empty when the part named none
    QByteArray contentType;
    QByteArray data;
};

struct FormData
{
    QList<FormPart> parts;
    // The first part with this field name, or null.
    const FormPart *field(const QByteArray &name) const;
};

// The boundary of a "multipart/form-data; boundary=..." content type; empty when the type is
// another one or names no usable boundary.
QByteArray multipartBoundary(const QByteArray &contentType);

// Splits a multipart/form-data body (RFC 7578). Fails with a readable message on a missing
// boundary, a missing closing delimiter or a part without a form-data disposition.
platform::Result<FormData> parseFormData(const QByteArray &contentType, const QByteArray &body);

} // namespace voxendo::devserver

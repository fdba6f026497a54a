#pragma once

#include "platform/status.h"

#include <QSslConfiguration>
#include <QString>

namespace voxendo::devserver {

// The server's TLS identity in its data directory: a CA of its own (ca.crt, ca.key) and a
// certificate for localhost and 127.0.0.1 signed by it (server.crt, server.key). Made with the
// `openssl` command on first start; the server certificate is made again when it is missing,
// unreadable or near its end, with the same CA, so a client that trusts ca.crt keeps working.
// Keys are created mode 0600.
class Certificates
{
public:
    explicit Certificates(QString dir);

    // Makes whatever is missing, then loads the server's TLS configuration.
    platform::Result<QSslConfiguration> ensure();
    QString caPath() const { return m_dir + QStringLiteral("/ca.crt"); }
    // What ensure() did, for the start-up lines: "", "made a new CA", "renewed the certificate".
    QString whatWasMade() const { return m_made; }

private:
    platform::Status runOpenssl(const QStringList &arguments) const;
    platform::Status makeCa() const;
    platform::Status makeServerCertificate() const;

    QString m_dir;
    QString m_made;
};

} // namespace voxendo::devserver

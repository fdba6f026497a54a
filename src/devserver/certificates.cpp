#include "devserver/certificates.h"

#include <QDateTime>
#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QStandardPaths>

#include <sys/stat.h>

namespace voxendo::devserver {

namespace {

constexpr int kCaDays = 3650;
constexpr int kServerDays = 825;
constexpr qint64 kRenewBeforeSecs = 7 * 24 * 3600;

QByteArray readAll(const QString &path)
{
    QFile f(path);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

} // namespace

Certificates::Certificates(QString dir)
    : m_dir(std::move(dir))
{
}

platform::Status Certificates::runOpenssl(const QStringList &arguments) const
{
    const QString openssl = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (openssl.isEmpty())
        return platform::Status::failure(1, QStringLiteral("the `openssl` command is needed to make the TLS certificate (Debian package: openssl)"));
    QProcess process;
    process.setWorkingDirectory(m_dir);
    // Private keys must never exist with wider permissions, not even for a moment.
    process.setChildProcessModifier([] { ::umask(077); });
    process.start(openssl, arguments);
    if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit
        || process.exitCode() != 0) {
        return platform::Status::failure(2, QStringLiteral("openssl failed: %1")
                                                .arg(QString::fromLocal8Bit(process.readAllStandardError()).trimmed()));
    }
    return platform::Status::success();
}

platform::Status Certificates::makeCa() const
{
    return runOpenssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                       "-nodes", "-days", QString::number(kCaDays), "-subj",
                       "/CN=Voxendo devserver CA (development only)", "-keyout", "ca.key", "-out",
                       "ca.crt", "-addext", "keyUsage=critical,keyCertSign,cRLSign", "-addext",
                       "basicConstraints=critical,CA:TRUE,pathlen:0"});
}

platform::Status Certificates::makeServerCertificate() const
{
    return runOpenssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:P-256",
                       "-nodes", "-days", QString::number(kServerDays), "-subj", "/CN=localhost",
                       "-CA", "ca.crt", "-CAkey", "ca.key", "-keyout", "server.key", "-out",
                       "server.crt", "-addext", "subjectAltName=DNS:localhost,IP:127.0.0.1",
                       "-addext", "basicConstraints=critical,CA:FALSE", "-addext",
                       "extendedKeyUsage=serverAuth"});
}

platform::Result<QSslConfiguration> Certificates::ensure()
{
    using R = platform::Result<QSslConfiguration>;
    m_made.clear();
    const QString caKeyPath = m_dir + QStringLiteral("/ca.key");
    const QString certPath = m_dir + QStringLiteral("/server.crt");
    const QString keyPath = m_dir + QStringLiteral("/server.key");

    QSslCertificate ca(readAll(caPath()), QSsl::Pem);
    const bool caUsable = !ca.isNull() && QFile::exists(caKeyPath)
        && ca.expiryDate().toSecsSinceEpoch() - QDateTime::currentSecsSinceEpoch() > kRenewBeforeSecs;
    if (!caUsable) {
        if (auto s = makeCa(); !s.ok())
            return R::failure(s);
        ca = QSslCertificate(readAll(caPath()), QSsl::Pem);
        QFile::remove(certPath); // whatever it was, it was not signed by this CA
        m_made = QStringLiteral("made a new CA");
    }

    QSslCertificate cert(readAll(certPath), QSsl::Pem);
    QSslKey key(readAll(keyPath), QSsl::Ec, QSsl::Pem);
    const bool fresh = !cert.isNull() && !key.isNull()
        && cert.issuerDisplayName() == ca.subjectDisplayName()
        && cert.expiryDate().toSecsSinceEpoch() - QDateTime::currentSecsSinceEpoch() > kRenewBeforeSecs;
    if (!fresh) {
        if (auto s = makeServerCertificate(); !s.ok())
            return R::failure(s);
        cert = QSslCertificate(readAll(certPath), QSsl::Pem);
        key = QSslKey(readAll(keyPath), QSsl::Ec, QSsl::Pem);
        if (m_made.isEmpty())
            m_made = QStringLiteral("made a new server certificate");
    }
    if (ca.isNull() || cert.isNull() || key.isNull())
        return R::failure(platform::Status::failure(3, QStringLiteral("the certificates in %1 cannot be read").arg(m_dir)));
    // Certificates are public; keys stay the owner's.
    ::chmod(QFile::encodeName(caPath()).constData(), 0644);
    ::chmod(QFile::encodeName(certPath).constData(), 0644);
    ::chmod(QFile::encodeName(caKeyPath).constData(), 0600);
    ::chmod(QFile::encodeName(keyPath).constData(), 0600);

    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    config.setLocalCertificateChain({cert, ca});
    config.setPrivateKey(key);
    config.setPeerVerifyMode(QSslSocket::VerifyNone); // clients present no certificate
    return R::success(config);
}

} // namespace voxendo::devserver

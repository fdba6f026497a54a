#include "common/network.h"

#include "common/logging.h"

#include <QDateTime>
#include <QFile>
#include <QFileInfo>
#include <QMutex>
#include <QNetworkAccessManager>
#include <QSslCertificate>

namespace voxendo::Network {

namespace {

// The extra CA, read once per file version rather than for every request.
QList<QSslCertificate> extraCaCertificates(const QString &caFile)
{
    static QMutex mutex;
    static QString cachedPath;
    static QDateTime cachedModified;
    static QList<QSslCertificate> cached;

    const QDateTime modified = QFileInfo(caFile).lastModified();
    QMutexLocker lock(&mutex);
    if (caFile == cachedPath && modified == cachedModified && modified.isValid())
        return cached;
    QFile file(caFile);
    QList<QSslCertificate> certificates;
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcNetwork) << "VOXENDO_EXTRA_CA_FILE cannot be read:" << caFile;
    } else {
        certificates = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
        if (certificates.isEmpty())
            qCWarning(lcNetwork) << "VOXENDO_EXTRA_CA_FILE holds no PEM certificate:" << caFile;
    }
    cachedPath = caFile;
    cachedModified = modified;
    cached = certificates;
    return certificates;
}

} // namespace

QSslConfiguration sslConfiguration()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    const QString caFile = qEnvironmentVariable("VOXENDO_EXTRA_CA_FILE");
    if (!caFile.isEmpty())
        config.addCaCertificates(extraCaCertificates(caFile));
    return config;
}

QNetworkRequest request(const QUrl &url)
{
    QNetworkRequest req(url);
    req.setSslConfiguration(sslConfiguration());
    return req;
}

QNetworkAccessManager *manager()
{
    // Never destroyed, like the managers that use it.
    static auto *nam = new QNetworkAccessManager;
    return nam;
}

} // namespace voxendo::Network

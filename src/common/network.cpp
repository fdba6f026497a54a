#include "common/network.h"

#include "common/logging.h"

#include <QFile>
#include <QNetworkAccessManager>
#include <QSslCertificate>

namespace voxendo::Network {

QSslConfiguration sslConfiguration()
{
    QSslConfiguration config = QSslConfiguration::defaultConfiguration();
    const QString caFile = qEnvironmentVariable("VOXENDO_EXTRA_CA_FILE");
    if (caFile.isEmpty())
        return config;
    QFile file(caFile);
    if (!file.open(QIODevice::ReadOnly)) {
        qCWarning(lcNetwork) << "VOXENDO_EXTRA_CA_FILE cannot be read:" << caFile;
        return config;
    }
    const QList<QSslCertificate> extra = QSslCertificate::fromData(file.readAll(), QSsl::Pem);
    if (extra.isEmpty())
        qCWarning(lcNetwork) << "VOXENDO_EXTRA_CA_FILE holds no PEM certificate:" << caFile;
    config.addCaCertificates(extra);
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

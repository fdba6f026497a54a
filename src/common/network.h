#pragma once

#include <QNetworkRequest>
#include <QSslConfiguration>

class QNetworkAccessManager;

namespace voxendo::Network {

// TLS settings for every request: the system's trusted CAs plus, for development and tests,
// the one PEM CA named by VOXENDO_EXTRA_CA_FILE. Verification is never switched off.
QSslConfiguration sslConfiguration();

// A request to `url` carrying sslConfiguration(). Use this instead of constructing
// QNetworkRequest directly so the extra CA is honoured everywhere.
QNetworkRequest request(const QUrl &url);

// The application's one network manager. It lives on the main thread; call from there only.
QNetworkAccessManager *manager();

} // namespace voxendo::Network

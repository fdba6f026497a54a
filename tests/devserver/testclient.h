#pragma once

// An HTTPS client for the devserver tests: trusts only the server's own CA (verification on),
// waits for each answer on the event loop and hands it back whole.

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QUuid>

namespace voxendo::devserver::test {

using Headers = QList<QPair<QByteArray, QByteArray>>;

struct Answer
{
    QNetworkReply::NetworkError error = QNetworkReply::NoError;
    int status = 0;
    QByteArray body;
    QList<QNetworkReply::RawHeaderPair> headers;

    QJsonObject json() const { return QJsonDocument::fromJson(body).object(); }
    QByteArray header(const QByteArray &name) const
    {
        for (const auto &[k, v] : headers) {
            if (k.compare(name, Qt::CaseInsensitive) == 0)
                return v;
        }
        return {};
    }
};

class TestClient
{
public:
    TestClient(const QUrl &base, const QString &caPath)
        : m_base(base)
    {
        QFile ca(caPath);
        if (!caPath.isEmpty() && ca.open(QIODevice::ReadOnly))
            m_ssl.setCaCertificates(QSslCertificate::fromData(ca.readAll(), QSsl::Pem));
    }

    Answer get(const QByteArray &path, const Headers &headers = {}, int timeoutMs = 20000)
    {
        return send("GET", path, QByteArray(), headers, timeoutMs);
    }
    Answer post(const QByteArray &path, const QByteArray &body, const Headers &headers = {},
                int timeoutMs = 20000)
    {
        return send("POST", path, body, headers, timeoutMs);
    }

    // Starts a request and returns at once; finish it with wait().
    QNetworkReply *start(const QByteArray &method, const QByteArray &path, const QByteArray &body,
                         const Headers &headers)
    {
        QNetworkRequest request(m_base.resolved(QUrl(QString::fromUtf8(path))));
        request.setSslConfiguration(m_ssl);
        for (const auto &[name, value] : headers)
            request.setRawHeader(name, value);
        if (!body.isNull() && !request.hasRawHeader("Content-Type"))
            request.setRawHeader("Content-Type", "application/json");
        return m_nam.sendCustomRequest(request, method, body);
    }

    static Answer wait(QNetworkReply *reply, int timeoutMs = 20000)
    {
        if (!reply->isFinished()) {
            QSignalSpy finished(reply, &QNetworkReply::finished);
            finished.wait(timeoutMs);
        }
        Answer a;
        if (!reply->isFinished()) {
            reply->abort();
            a.error = QNetworkReply::TimeoutError;
        } else {
            a.error = reply->error();
        }
        a.status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        a.body = reply->readAll();
        a.headers = reply->rawHeaderPairs();
        reply->deleteLater();
        return a;
    }

    Answer send(const QByteArray &method, const QByteArray &path, const QByteArray &body,
                const Headers &headers, int timeoutMs = 20000)
    {
        return wait(start(method, path, body, headers), timeoutMs);
    }

private:
    QUrl m_base;
    QSslConfiguration m_ssl = QSslConfiguration::defaultConfiguration();
    QNetworkAccessManager m_nam;
};

// A body laid out as the application sends it: file, model, optional language, closing line.
inline QByteArray multipartUpload(const QByteArray &boundary, const QByteArray &audio,
                                  const QByteArray &language = {})
{
    QByteArray body = "--" + boundary + "\r\n"
        "Content-Disposition: form-data; name=\"file\"; filename=\"voxendo_test.m4a\"\r\n"
        "Content-Type: audio/m4a\r\n\r\n" + audio + "\r\n"
        "--" + boundary + "\r\nContent-Disposition: form-data; name=\"model\"\r\n\r\nwhisper-1\r\n";
    if (!language.isEmpty())
        body += "--" + boundary + "\r\nContent-Disposition: form-data; name=\"language\"\r\n\r\n"
            + language + "\r\n";
    return body + "--" + boundary + "--\r\n";
}

} // namespace voxendo::devserver::test

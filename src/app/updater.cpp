#include "app/updater.h"

#include "common/endpoints.h"
#include "common/network.h"

#include <QDesktopServices>
#include <QMessageBox>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QPushButton>
#include <QXmlStreamReader>

namespace voxendo {

namespace {

bool isVersionName(QStringView name)
{
    return name == u"shortVersionString" || name == u"version";
}

QVersionNumber parseVersion(const QString &text)
{
    return QVersionNumber::fromString(text.trimmed());
}

class MessageBoxPresenter : public UpdatePresenter
{
public:
    void showUpToDate(const QString &currentVersion) override
    {
        QMessageBox box;
        box.setWindowTitle(QStringLiteral("Software Update"));
        box.setText(QStringLiteral("You're up to date!"));
        box.setInformativeText(
            QStringLiteral("Voxendo %1 is currently the newest version available.").arg(currentVersion));
        box.exec();
    }

    void showUpdateAvailable(const AppcastRelease &release, const QString &currentVersion) override
    {
        QMessageBox box;
        box.setWindowTitle(QStringLiteral("Software Update"));
        box.setText(QStringLiteral("A new version of Voxendo is available!"));
        box.setInformativeText(QStringLiteral("Voxendo %1 is now available — you have %2.")
                                   .arg(release.version, currentVersion));
        QPushButton *download = box.addButton(QStringLiteral("Download"), QMessageBox::AcceptRole);
        box.addButton(QStringLiteral("Later"), QMessageBox::RejectRole);
        box.setDefaultButton(download);
        box.exec();
        if (box.clickedButton() == download)
            QDesktopServices::openUrl(release.downloadUrl);
    }

    void showError(const QString &message) override
    {
        QMessageBox box;
        box.setIcon(QMessageBox::Warning);
        box.setWindowTitle(QStringLiteral("Software Update"));
        box.setText(QStringLiteral("Update Error!"));
        box.setInformativeText(message);
        box.exec();
    }
};

} // namespace

std::optional<AppcastRelease> AppcastParser::newest(const QByteArray &xml, QString *error)
{
    QXmlStreamReader reader(xml);
    std::optional<AppcastRelease> best;
    QVersionNumber bestVersion;
    bool sawFeed = false;

    AppcastRelease current;
    bool inItem = false;
    while (!reader.atEnd()) {
        reader.readNext();
        if (reader.isStartElement()) {
            const QStringView name = reader.name();
            if (name == u"rss" || name == u"channel")
                sawFeed = true;
            if (name == u"item") {
                inItem = true;
                current = {};
            } else if (inItem && name == u"enclosure") {
                const auto attributes = reader.attributes();
                for (const QXmlStreamAttribute &a : attributes) {
                    if (a.name() == u"url")
                        current.downloadUrl = QUrl(a.value().toString());
                    else if (a.name() == u"shortVersionString" || (a.name() == u"version" && current.version.isEmpty()))
                        current.version = a.value().toString().trimmed();
                }
            } else if (inItem && isVersionName(name)) {
                const QString text = reader.readElementText().trimmed();
                // shortVersionString is the human version; prefer it over a build number.
                if (name == u"shortVersionString" || current.version.isEmpty())
                    current.version = text;
            } else if (inItem && name == u"link" && current.downloadUrl.isEmpty()) {
                current.downloadUrl = QUrl(reader.readElementText().trimmed());
            }
        } else if (reader.isEndElement() && reader.name() == u"item") {
            inItem = false;
            const QVersionNumber v = parseVersion(current.version);
            if (!v.isNull() && current.downloadUrl.isValid() && (!best || v > bestVersion)) {
                best = current;
                bestVersion = v;
            }
        }
    }
    if (reader.hasError() || !sawFeed) {
        if (error)
            *error = QStringLiteral("The update feed could not be read.");
        return std::nullopt;
    }
    if (!best && error)
        *error = QStringLiteral("The update feed lists no release.");
    return best;
}

Updater::Updater(QUrl feedUrl, QString currentVersion, std::unique_ptr<UpdatePresenter> presenter,
                 QNetworkAccessManager *network, int timeoutMs, QObject *parent)
    : QObject(parent)
    , m_feedUrl(std::move(feedUrl))
    , m_currentVersion(std::move(currentVersion))
    , m_presenter(std::move(presenter))
    , m_network(network)
    , m_timeoutMs(timeoutMs)
{
}

Updater::~Updater() = default;

Updater *Updater::shared()
{
    static Updater *instance = new Updater(QUrl(Endpoints::appcastUrl()), Endpoints::appVersion(),
                                           std::make_unique<MessageBoxPresenter>(), Network::manager());
    return instance;
}

void Updater::setCanCheck(bool value)
{
    if (m_canCheck == value)
        return;
    m_canCheck = value;
    Q_EMIT canCheckForUpdatesChanged();
}

void Updater::checkForUpdates()
{
    if (!m_canCheck)
        return;
    setCanCheck(false);

    QNetworkRequest request = Network::request(m_feedUrl);
    request.setTransferTimeout(m_timeoutMs);
    QNetworkReply *reply = m_network->get(request);
    connect(reply, &QNetworkReply::finished, this, [this, reply] {
        reply->deleteLater();
        const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
        QString error;
        std::optional<AppcastRelease> release;
        if (reply->error() != QNetworkReply::NoError && status == 0)
            error = QStringLiteral("An error occurred while checking for updates: %1").arg(reply->errorString());
        else if (status != 200)
            error = QStringLiteral("An error occurred while checking for updates: HTTP %1").arg(status);
        else
            release = AppcastParser::newest(reply->readAll(), &error);

        // The dialog is modal; re-enable "Check Now" only once it is closed.
        if (release) {
            const QVersionNumber current = parseVersion(m_currentVersion);
            if (parseVersion(release->version) > current)
                m_presenter->showUpdateAvailable(*release, m_currentVersion);
            else
                m_presenter->showUpToDate(m_currentVersion);
        } else {
            m_presenter->showError(error);
        }
        setCanCheck(true);
        Q_EMIT checkFinished();
    });
}

} // namespace voxendo

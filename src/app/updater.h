#pragma once

#include <QObject>
#include <QQmlEngine>
#include <QString>
#include <QUrl>
#include <QVersionNumber>

#include <functional>
#include <memory>
#include <optional>

class QNetworkAccessManager;

namespace voxendo {

// One entry of the update feed: the newest release it lists.
struct AppcastRelease
{
    QString version;  // as written in the feed, e.g. "1.4.0"
    QUrl downloadUrl; // where the user gets it
};

// Reads an RSS update feed. Each <item> names its version in an element or attribute whose
// local name is "shortVersionString" or "version" (on the item or its <enclosure>), and its
// download link as the enclosure's url or the item's <link>. The highest version wins.
struct AppcastParser
{
    // The newest release, or an error message when the document is not a readable feed.
    static std::optional<AppcastRelease> newest(const QByteArray &xml, QString *error);
};

// Shows the outcome of a check. The production presenter uses message boxes; tests record.
class UpdatePresenter
{
public:
    virtual ~UpdatePresenter() = default;
    virtual void showUpToDate(const QString &currentVersion) = 0;
    virtual void showUpdateAvailable(const AppcastRelease &release, const QString &currentVersion) = 0;
    virtual void showError(const QString &message) = 0;
};

// Checks the update feed on request and shows the result in its own dialog.
// There is no background schedule: the backend's version gate already tells every user at
// start-up when an update is available or required; this is the explicit "Check Now".
class Updater : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON
    Q_PROPERTY(bool canCheckForUpdates READ canCheckForUpdates NOTIFY canCheckForUpdatesChanged)

public:
    Updater(QUrl feedUrl, QString currentVersion, std::unique_ptr<UpdatePresenter> presenter,
            QNetworkAccessManager *network, int timeoutMs = 30000, QObject *parent = nullptr);
    ~Updater() override;

    static Updater *shared();
    // The QML engine must not take ownership of the process-wide instance.
    static Updater *create(QQmlEngine *, QJSEngine *engine)
    {
        engine->setObjectOwnership(shared(), QJSEngine::CppOwnership);
        return shared();
    }

    bool canCheckForUpdates() const { return m_canCheck; }

    // Starts a check unless one is running; the presenter shows the outcome.
    Q_INVOKABLE void checkForUpdates();

Q_SIGNALS:
    void canCheckForUpdatesChanged();
    void checkFinished(); // after the presenter was called, for tests and callers

private:
    void setCanCheck(bool value);

    QUrl m_feedUrl;
    QString m_currentVersion;
    std::unique_ptr<UpdatePresenter> m_presenter;
    QNetworkAccessManager *m_network;
    int m_timeoutMs;
    bool m_canCheck = true;
};

} // namespace voxendo

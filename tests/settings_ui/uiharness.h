#pragma once

#include "app/updater.h"
#include "settings_ui/desktopsettings.h"
#include "support/fakedictation.h"
#include "support/fakehotkeybackend.h"
#include "support/fakesecretstore.h"
#include "support/httpsfakeserver.h"
#include "fakeauthmanager.h"

#include <QList>
#include <QNetworkAccessManager>
#include <QPointer>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickView>
#include <QSettings>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

namespace voxendo {
class APIKeyManager;
class AutostartManager;
class AppState;
class HotkeyManager;
namespace platform { class HotkeyBackend; }
} // namespace voxendo

namespace voxendo::test {

// Fonts, style and settings location for UI tests: DejaVu Sans as the UI font so screenshots
// do not depend on the machine, the window's Controls style, and QSettings/autostart files in
// the test-mode locations. Call first in initTestCase().
void prepareUiTest();

// Test instances of every manager the views use, registered as the module's QML singletons in
// place of the process-wide ones. They live for the whole test process (a QML singleton cannot
// be registered twice); reset() puts them back to their initial state between test functions.
class UiManagers
{
public:
    // `hotkeyBackend` null: a FakeHotkeyBackend (reachable through fakeHotkeys()).
    static UiManagers &install(std::unique_ptr<platform::HotkeyBackend> hotkeyBackend = nullptr);
    static UiManagers &get();

    void reset();
    // True when the QML object `view` (a loaded view's root) sees these instances.
    bool isInstalledIn(QObject *view) const;

    FakeAuthManager auth;

    std::shared_ptr<FakeDictationRecorder> recorder = std::make_shared<FakeDictationRecorder>();
    std::shared_ptr<FakeDictationTranscriber> transcriber = std::make_shared<FakeDictationTranscriber>();
    std::shared_ptr<FakeDictationAccount> account = std::make_shared<FakeDictationAccount>(true);
    AppState *appState = nullptr;

    QSettings *hotkeySettings = nullptr;
    HotkeyManager *hotkeys = nullptr;
    FakeHotkeyBackend *fakeHotkeys = nullptr; // null with a real backend
    int hotKeyPresses = 0;

    // OpenAI's /v1/models and the update feed /appcast.xml.
    HttpsFakeServer server;
    QNetworkAccessManager network;
    std::shared_ptr<FakeSecretStore> secrets = std::make_shared<FakeSecretStore>();
    APIKeyManager *apiKeys = nullptr;

    QStringList updaterCalls;
    Updater *updater = nullptr;

    // Its entry goes to the test-mode config directory.
    AutostartManager *autostart = nullptr;

    QList<DesktopSettings::Command> launchedCommands;
    bool launchSucceeds = false;
    DesktopSettings *desktop = nullptr;

private:
    UiManagers() = default;
};

// One QML view on a fresh engine (so singleton instances and component caches start clean).
class ViewHarness
{
public:
    ViewHarness();
    ~ViewHarness();

    // Loads qrc:/Voxendo/<file> as the view's root and shows it at `size`. False with a
    // message (QTest fails) when loading failed.
    bool load(const QString &file, QSize size = QSize(800, 600));
    // Loads a QML document given as text (a component placed in a sized window).
    bool loadData(const QByteArray &qml, QSize size = QSize(800, 600));

    QQuickView *view() { return m_view.get(); }
    QQuickItem *root() const;
    QQmlEngine *engine() { return &m_engine; }

    // The first item with this objectName, searched depth-first under the root (and in the
    // window's overlay, for dialogs); null when absent.
    QQuickItem *find(const QString &objectName) const;
    // Any object under the root by objectName, popups (dialogs) included.
    QObject *findObject(const QString &objectName) const;
    // Like find(), but only an item that is actually on screen (it and its ancestors visible).
    QQuickItem *findVisible(const QString &objectName) const;
    static bool isShown(const QQuickItem *item);

    // Clicks the centre of a visible item with the mouse.
    bool click(const QString &objectName);
    // Writes a PNG of the window to <build>/screenshots/<name>.png; false when grabbing failed.
    bool screenshot(const QString &name);

private:
    bool loadUrl(const QUrl &url, QSize size, const QString &what);

    QQmlEngine m_engine;
    std::unique_ptr<QQuickView> m_view;
    QTemporaryDir m_dir;
};

// The first item named `objectName` under `root`, depth-first; with `visibleOnly`, only through
// visible items.
QQuickItem *findItem(QQuickItem *root, const QString &objectName, bool visibleOnly = false);

// An item's "text" property, or "<absent>" for no item (a readable failure message).
QString text(QQuickItem *item);

} // namespace voxendo::test

#include "uiharness.h"

#include "app/autostart.h"
#include "dictation/appstate.h"
#include "settings_ui/settingswindow.h"
#include "shortcut/hotkeymanager.h"
#include "transcription/apikeymanager.h"

#include <QDir>
#include <QFile>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QQmlComponent>
#include <QQmlContext>
#include <QQmlExpression>
#include <QQuickWindow>
#include <QStandardPaths>
#include <QtQml/qqml.h>

namespace voxendo::test {

namespace {

UiManagers *g_managers = nullptr;

class RecordingPresenter final : public UpdatePresenter
{
public:
    explicit RecordingPresenter(QStringList *calls) : m_calls(calls) {}
    void showUpToDate(const QString &current) override { m_calls->append("uptodate " + current); }
    void showUpdateAvailable(const AppcastRelease &release, const QString &) override
    {
        m_calls->append("available " + release.version);
    }
    void showError(const QString &message) override { m_calls->append("error " + message); }

private:
    QStringList *m_calls;
};

} // namespace
} // namespace voxendo::test

// Generated with the module "Voxendo".
void qml_register_types_Voxendo();

namespace voxendo::test {
namespace {

// The module's own types are registered again whenever an engine imports the module's directory
// (every view in qrc:/Voxendo/ does), which would put the process-wide managers back. Ours are
// registered under a later minor version, which every unversioned import prefers and which
// that re-registration (version 1.0) leaves alone.
constexpr int testMinorVersion = 100;

// Every engine (each test makes its own) gets the same C++-owned instance.
template <typename T>
void registerSingleton(const char *name, T *instance)
{
    qmlRegisterSingletonType<T>("Voxendo", 1, testMinorVersion, name, [instance](QQmlEngine *, QJSEngine *) -> T * {
        QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
        return instance;
    });
}

void registerTestInstances()
{
    qml_register_types_Voxendo();
    UiManagers &m = UiManagers::get();
    registerSingleton("AuthManager", &m.auth);
    registerSingleton("AppState", m.appState);
    registerSingleton("HotkeyManager", m.hotkeys);
    registerSingleton("APIKeyManager", m.apiKeys);
    registerSingleton("Updater", m.updater);
    registerSingleton("DesktopSettings", m.desktop);
    registerSingleton("AutostartManager", m.autostart);
}

} // namespace

bool UiManagers::isInstalledIn(QObject *view) const
{
    // Evaluated in the view's own context: the names resolve exactly as the view's bindings do.
    const auto instance = [view](const char *name) {
        QQmlExpression expression(qmlContext(view), view, QString::fromLatin1(name));
        return expression.evaluate().value<QObject *>();
    };
    return instance("AuthManager") == &auth && instance("AppState") == appState
        && instance("HotkeyManager") == hotkeys && instance("APIKeyManager") == apiKeys
        && instance("Updater") == updater && instance("DesktopSettings") == desktop
        && instance("AutostartManager") == autostart;
}

QString text(QQuickItem *item)
{
    return item ? item->property("text").toString() : QStringLiteral("<absent>");
}

QQuickItem *findItem(QQuickItem *item, const QString &name, bool visibleOnly)
{
    if (!item || (visibleOnly && !item->isVisible()))
        return nullptr;
    if (item->objectName() == name)
        return item;
    for (QQuickItem *child : item->childItems()) {
        if (QQuickItem *found = findItem(child, name, visibleOnly))
            return found;
    }
    return nullptr;
}

void prepareUiTest()
{
    QStandardPaths::setTestModeEnabled(true);
    QCoreApplication::setOrganizationName(QStringLiteral("Voxendo"));
    QCoreApplication::setApplicationName(QStringLiteral("Voxendo"));
    QCoreApplication::setApplicationVersion(QStringLiteral("0.1.0"));
    for (const char *file : {"DejaVuSans.ttf", "DejaVuSans-Bold.ttf"})
        QFontDatabase::addApplicationFont(QStringLiteral("/usr/share/fonts/truetype/dejavu/") + QLatin1String(file));
    QFont font(QStringLiteral("DejaVu Sans"));
    font.setPointSize(10);
    QGuiApplication::setFont(font);
    SettingsWindow::prepareStyle();
}

UiManagers &UiManagers::install(std::unique_ptr<platform::HotkeyBackend> hotkeyBackend)
{
    Q_ASSERT(!g_managers);
    auto *m = new UiManagers; // lives as long as the process, like the singletons it replaces
    g_managers = m;

    DictationCollaborators collaborators{m->recorder, m->transcriber, m->account,
                                         std::make_shared<FakeDictationKeyStore>(),
                                         std::make_shared<RecordingDictationInjector>()};
    m->appState = new AppState(collaborators);

    m->hotkeySettings = new QSettings(QDir::temp().filePath(QStringLiteral("voxendo-ui-test-hotkey-%1.ini")
                                                            .arg(QCoreApplication::applicationPid())),
                                      QSettings::IniFormat);
    m->hotkeySettings->clear();
    if (!hotkeyBackend) {
        auto fake = std::make_unique<FakeHotkeyBackend>();
        m->fakeHotkeys = fake.get();
        hotkeyBackend = std::move(fake);
    }
    m->hotkeys = new HotkeyManager(std::move(hotkeyBackend), m->hotkeySettings);
    QObject::connect(m->hotkeys, &HotkeyManager::hotKeyPressed, [m] { ++m->hotKeyPresses; });

    qputenv("VOXENDO_EXTRA_CA_FILE", HttpsFakeServer::trustedCaPath().toUtf8());
    if (!m->server.listen())
        qFatal("the fake HTTPS server could not listen");
    m->apiKeys = new APIKeyManager(m->secrets, &m->network, m->server.baseUrlString());
    m->updater = new Updater(m->server.baseUrl().resolved(QUrl(QStringLiteral("/appcast.xml"))),
                             QStringLiteral("0.1.0"), std::make_unique<RecordingPresenter>(&m->updaterCalls),
                             &m->network);
    m->autostart = new AutostartManager(QStringLiteral("/usr/bin/voxendo"), nullptr);
    m->desktop = new DesktopSettings(DesktopSettings::defaultSoundSettingsCommands(),
                                     [m](const DesktopSettings::Command &command) {
                                         m->launchedCommands.append(command);
                                         return m->launchSucceeds;
                                     });

    registerTestInstances();

    return *m;
}

UiManagers &UiManagers::get()
{
    Q_ASSERT(g_managers);
    return *g_managers;
}

void UiManagers::reset()
{
    auth.reset();
    if (appState->isRecording())
        appState->toggleRecording();
    if (recorder->hasPendingStop())
        recorder->finish(std::nullopt);
    appState->clearLastError();
    if (!QTest::qWaitFor([this] { return !appState->isRecording() && !appState->isProcessing(); }, 2000))
        qWarning("the dictation controller did not return to rest");
    appState->clearLastError();

    hotkeys->updateShortcut(HotkeyShortcut::defaultShortcut());
    hotKeyPresses = 0;

    apiKeys->deleteKey();
    server.clearRequests();
    updaterCalls.clear();
    launchedCommands.clear();
    launchSucceeds = false;
    QSettings().clear();
    QFile::remove(AutostartManager::entryPath());
}

ViewHarness::ViewHarness()
    : m_view(std::make_unique<QQuickView>(&m_engine, nullptr))
{
    m_view->setResizeMode(QQuickView::SizeRootObjectToView);
    // So that a document outside the module (loadData) finds the module's QML types.
    m_engine.addImportPath(QStringLiteral("qrc:/"));
}

ViewHarness::~ViewHarness()
{
    m_view.reset();
}

bool ViewHarness::load(const QString &file, QSize size)
{
    return loadUrl(QUrl(QStringLiteral("qrc:/Voxendo/") + file), size, file);
}

bool ViewHarness::loadData(const QByteArray &qml, QSize size)
{
    const QString path = m_dir.filePath(QStringLiteral("View.qml"));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(qml) != qml.size())
        return false;
    file.close();
    return loadUrl(QUrl::fromLocalFile(path), size, QStringLiteral("the view"));
}

bool ViewHarness::loadUrl(const QUrl &url, QSize size, const QString &what)
{
    m_view->resize(size);
    m_view->setSource(url);
    if (m_view->status() != QQuickView::Ready || !m_view->rootObject()) {
        QString errors;
        for (const QQmlError &error : m_view->errors())
            errors += error.toString() + QLatin1Char('\n');
        QTest::qFail(qPrintable(QStringLiteral("%1 did not load:\n%2").arg(what, errors)), __FILE__, __LINE__);
        return false;
    }
    if (!UiManagers::get().isInstalledIn(m_view->rootObject())) {
        QTest::qFail("the view does not see the test managers", __FILE__, __LINE__);
        return false;
    }
    m_view->show();
    return QTest::qWaitForWindowExposed(m_view.get());
}

QQuickItem *ViewHarness::root() const
{
    return m_view->rootObject();
}

QQuickItem *ViewHarness::find(const QString &objectName) const
{
    if (QQuickItem *item = findItem(root(), objectName, false))
        return item;
    // Popups (dialogs) are reparented into the window's overlay.
    return findItem(m_view->contentItem(), objectName, false);
}

QObject *ViewHarness::findObject(const QString &objectName) const
{
    return root() ? root()->findChild<QObject *>(objectName) : nullptr;
}

QQuickItem *ViewHarness::findVisible(const QString &objectName) const
{
    QQuickItem *item = findItem(m_view->contentItem(), objectName, true);
    return item;
}

bool ViewHarness::isShown(const QQuickItem *item)
{
    for (const QQuickItem *i = item; i; i = i->parentItem()) {
        if (!i->isVisible())
            return false;
    }
    return item != nullptr;
}

bool ViewHarness::click(const QString &objectName)
{
    QQuickItem *item = findVisible(objectName);
    if (!item || !item->isEnabled())
        return false;
    const QPointF centre = item->mapToScene(QPointF(item->width() / 2, item->height() / 2));
    QTest::mouseClick(m_view.get(), Qt::LeftButton, Qt::NoModifier, centre.toPoint());
    return true;
}

bool ViewHarness::screenshot(const QString &name)
{
    const QString dir = QStringLiteral(VOXENDO_SCREENSHOT_DIR);
    QDir().mkpath(dir);
    // Let animations and layouts settle for a frame or two.
    QTest::qWait(100);
    const QImage image = m_view->grabWindow();
    return !image.isNull() && image.save(dir + QLatin1Char('/') + name + QStringLiteral(".png"));
}

} // namespace voxendo::test

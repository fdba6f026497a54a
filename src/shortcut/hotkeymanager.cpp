#include "shortcut/hotkeymanager.h"

#include "common/console.h"
#include "common/logging.h"
#include "common/trace.h"

#include <QJSEngine>
#include <QSettings>

namespace voxendo {

HotkeyManager::HotkeyManager(std::unique_ptr<platform::HotkeyBackend> backend, QSettings *settings,
                             QObject *parent)
    : QObject(parent)
    , m_backend(std::move(backend))
    , m_settings(settings)
    , m_currentShortcut(HotkeyShortcut::load(*settings).value_or(HotkeyShortcut::defaultShortcut()))
{
}

HotkeyManager::~HotkeyManager()
{
    unregisterHotKey();
}

HotkeyManager &HotkeyManager::shared()
{
    // Never destroyed, like every shared manager; the X connection ends with the process.
    static HotkeyManager *instance = [] {
        auto *settings = new QSettings(QStringLiteral("Voxendo"), QStringLiteral("Voxendo"));
        return new HotkeyManager(platform::createHotkeyBackend(), settings);
    }();
    return *instance;
}

HotkeyManager *HotkeyManager::create(QQmlEngine *, QJSEngine *)
{
    HotkeyManager *manager = &shared();
    QJSEngine::setObjectOwnership(manager, QJSEngine::CppOwnership);
    return manager;
}

void HotkeyManager::registerHotKey()
{
    if (!m_pressHandler)
        m_pressHandler = connect(m_backend.get(), &platform::HotkeyBackend::pressed, this, [this] {
            trace("hotkey-press");
            Q_EMIT hotKeyPressed();
        });

    const platform::Status status =
        m_backend->registerHotkey({m_currentShortcut.keyCode, m_currentShortcut.modifiers});
    if (status.ok()) {
        Console::printLine(QStringLiteral("Hotkey registered: ") + m_currentShortcut.displayString());
    } else {
        Console::printLine(QStringLiteral("Failed to register hotkey: ") + QString::number(status.code));
        qCWarning(lcPlatform).noquote() << "Global shortcut" << m_currentShortcut.displayString()
                                        << "is not active:" << status.message;
    }
    setRegistered(status.ok());
}

void HotkeyManager::updateShortcut(const HotkeyShortcut &shortcut)
{
    unregisterHotKey();
    shortcut.save(*m_settings);
    if (m_currentShortcut != shortcut) {
        m_currentShortcut = shortcut;
        Q_EMIT currentShortcutChanged();
    }
    registerHotKey();
}

void HotkeyManager::unregisterHotKey()
{
    if (m_registered) {
        m_backend->unregisterHotkey();
        setRegistered(false);
    }
    if (m_pressHandler) {
        disconnect(m_pressHandler);
        m_pressHandler = {};
    }
}

void HotkeyManager::setRegistered(bool registered)
{
    if (m_registered == registered)
        return;
    m_registered = registered;
    Q_EMIT isRegisteredChanged();
}

} // namespace voxendo

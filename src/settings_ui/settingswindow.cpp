#include "settings_ui/settingswindow.h"

#include "common/memory.h"
#include "insertion/textinjector.h"
#include "settings_ui/navigationcenter.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPalette>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickView>
#include <QTimer>

#include <utility>

namespace voxendo {

SettingsWindow::SettingsWindow(QQmlEngine *engine, QObject *parent)
    : QObject(parent)
    , m_engine(engine)
    , m_ownsEngine(engine == nullptr)
{
    prepareStyle();
}

SettingsWindow::~SettingsWindow()
{
    delete m_view;
    if (m_ownsEngine)
        delete m_engine;
}

SettingsWindow &SettingsWindow::shared()
{
    static SettingsWindow *instance = [] {
        auto *window = new SettingsWindow;
        QObject::connect(&TextInjector::shared(), &TextInjector::permissionSettingsRequested, window,
                         &SettingsWindow::openPermissions);
        return window;
    }();
    return *instance;
}

void SettingsWindow::prepareStyle()
{
    static const bool prepared = [] {
        if (qEnvironmentVariableIsEmpty("QT_QUICK_CONTROLS_STYLE"))
            QQuickStyle::setStyle(QStringLiteral("Fusion"));
        return true;
    }();
    Q_UNUSED(prepared);
}

void SettingsWindow::ensureCreated()
{
    if (m_view)
        return;
    if (!m_engine)
        m_engine = new QQmlEngine;
    m_view = new QQuickView(m_engine, nullptr);
    m_view->setTitle(QStringLiteral("Voxendo"));
    m_view->setResizeMode(QQuickView::SizeRootObjectToView);
    m_view->setMinimumSize(QSize(minimumWidth, minimumHeight));
    m_view->resize(defaultWidth, defaultHeight);
    // The root view paints the palette's window colour; this only avoids a white first frame.
    m_view->setColor(QGuiApplication::palette().window().color());
    m_view->setSource(QUrl(QStringLiteral("qrc:/Voxendo/MainSettingsView.qml")));

    // The application menu's Quit (Ctrl+Q) is a Shortcut in the root view: Qt Quick matches its
    // shortcuts itself, while a QShortcut on a QQuickWindow never fires under QApplication.
    if (QQuickItem *root = m_view->rootObject()) {
        connect(root, SIGNAL(quitRequested()), this, SLOT(quit()));
    }

    // Closing hides the window. It is released from the event loop, never inside the close
    // handling, and only if nothing showed it again meanwhile (a tray click right after).
    connect(m_view, &QWindow::visibleChanged, this, [this](bool visible) {
        if (!visible)
            QTimer::singleShot(0, this, &SettingsWindow::releaseIfClosed);
    });
}

void SettingsWindow::releaseIfClosed()
{
    if (!m_view || m_view->isVisible())
        return;
    delete std::exchange(m_view, nullptr);
    if (!m_ownsEngine) {
        Q_EMIT released();
        return;
    }
    // After the view's own deferred deletions, which may still refer to the engine.
    QQmlEngine *engine = std::exchange(m_engine, nullptr);
    connect(engine, &QObject::destroyed, this, [this] {
        releaseFreedMemory();
        Q_EMIT released();
    });
    engine->deleteLater();
}

void SettingsWindow::quit()
{
    Q_EMIT quitRequested();
    QCoreApplication::quit();
}

void SettingsWindow::showAndRaise()
{
    ensureCreated();
    m_view->show();
    m_view->raise();
    m_view->requestActivate();
}

bool SettingsWindow::isVisible() const
{
    return m_view && m_view->isVisible();
}

void SettingsWindow::navigateToAccount()
{
    NavigationCenter::shared()->postNavigateToAccount();
}

void SettingsWindow::openPermissions()
{
    showAndRaise();
    NavigationCenter::shared()->postShowPermissions();
}

QQuickWindow *SettingsWindow::window() const
{
    return m_view;
}

QQuickItem *SettingsWindow::rootItem() const
{
    return m_view ? m_view->rootObject() : nullptr;
}

} // namespace voxendo

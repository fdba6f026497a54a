#include "settings_ui/settingswindow.h"

#include "insertion/textinjector.h"
#include "settings_ui/navigationcenter.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QPalette>
#include <QQmlEngine>
#include <QQuickItem>
#include <QQuickStyle>
#include <QQuickView>

namespace voxendo {

SettingsWindow::SettingsWindow(QQmlEngine *engine, QObject *parent)
    : QObject(parent)
    , m_engine(engine)
{
    prepareStyle();
    if (!m_engine)
        m_engine = new QQmlEngine(this);
}

SettingsWindow::~SettingsWindow()
{
    delete m_view;
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

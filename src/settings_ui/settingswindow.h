#pragma once

#include <QObject>
#include <QPointer>

class QQmlEngine;
class QQuickItem;
class QQuickView;
class QQuickWindow;

namespace voxendo {

// The settings window: one ordinary window titled "Voxendo" whose root view is
// MainSettingsView.qml. The window and its root view are created when shown and released soon
// after the user closes it, together with the QML engine when the window made its own: Voxendo
// spends nearly all its time in the tray, and the views' QML is most of what it would otherwise
// keep in memory there. The next show creates a new root view, which starts on Home.
// Main thread only.
class SettingsWindow : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultWidth = 800;
    static constexpr int defaultHeight = 600;
    static constexpr int minimumWidth = 700;
    static constexpr int minimumHeight = 500;

    // `engine` null: the window makes its own engine when shown, and releases it when closed.
    // The root view is not created yet.
    explicit SettingsWindow(QQmlEngine *engine = nullptr, QObject *parent = nullptr);
    ~SettingsWindow() override;

    // The process-wide window. Also opens the Permissions section when the text injector's
    // alert asks for it. Needs a QGuiApplication.
    static SettingsWindow &shared();

    // Picks the Qt Quick Controls style the views are drawn with (Fusion, which follows the
    // desktop palette, light or dark) unless the user chose one in QT_QUICK_CONTROLS_STYLE.
    // Must run before any engine loads QtQuick.Controls; the constructor calls it.
    static void prepareStyle();

    // Shows the window, creating it on first use, brings it to the front and asks for the
    // keyboard focus.
    void showAndRaise();
    bool isVisible() const;

    // Posts the "navigateToAccount" request: the window, if it exists, selects the Account tab.
    void navigateToAccount();
    // Shows the window on the Settings tab with the Permissions section in view.
    void openPermissions();

    // Null while the window is not shown (before the first show, and once a closed window has
    // been released).
    QQuickWindow *window() const;
    QQuickItem *rootItem() const;

Q_SIGNALS:
    // Ctrl+Q in the window, just before the application is asked to quit.
    void quitRequested();
    // A closed window and its root view were released.
    void released();

private Q_SLOTS:
    void quit();

private:
    void ensureCreated();
    void releaseIfClosed();

    QQmlEngine *m_engine;
    const bool m_ownsEngine;
    QQuickView *m_view = nullptr;
};

} // namespace voxendo

#pragma once

#include <QObject>
#include <QPointer>

class QQmlEngine;
class QQuickItem;
class QQuickView;
class QQuickWindow;

namespace voxendo {

// The settings window: one ordinary window titled "Voxendo" whose root view is
// MainSettingsView.qml. The root view is created once, on first use, and lives for the rest of
// the process; closing the window only hides it. Main thread only.
class SettingsWindow : public QObject
{
    Q_OBJECT

public:
    static constexpr int defaultWidth = 800;
    static constexpr int defaultHeight = 600;
    static constexpr int minimumWidth = 700;
    static constexpr int minimumHeight = 500;

    // `engine` null: the window makes its own engine. The root view is not created yet.
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

    // Null until the window was first shown.
    QQuickWindow *window() const;
    QQuickItem *rootItem() const;

Q_SIGNALS:
    // Ctrl+Q in the window, just before the application is asked to quit.
    void quitRequested();

private Q_SLOTS:
    void quit();

private:
    void ensureCreated();

    QQmlEngine *m_engine;
    QQuickView *m_view = nullptr;
};

} // namespace voxendo

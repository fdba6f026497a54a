#pragma once

#include <QObject>
#include <QtQml/qqmlregistration.h>

class QQmlEngine;
class QJSEngine;

namespace voxendo {

// App-wide requests to the settings window, posted by anyone and heard by the window's root view
// while it exists. A request posted when no root view exists is simply not heard: the window,
// when created later, starts on its first tab.
class NavigationCenter : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    static NavigationCenter *shared();
    static NavigationCenter *create(QQmlEngine *, QJSEngine *);

    // "navigateToAccount": the window selects the Account tab.
    Q_INVOKABLE void postNavigateToAccount() { Q_EMIT navigateToAccount(); }
    // The window selects the Settings tab and brings its Permissions section into view.
    Q_INVOKABLE void postShowPermissions() { Q_EMIT showPermissions(); }

Q_SIGNALS:
    void navigateToAccount();
    void showPermissions();

private:
    // Not default-constructible on purpose: QML would then make an instance per engine instead
    // of calling create().
    NavigationCenter() = default;
};

} // namespace voxendo

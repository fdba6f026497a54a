#include "settings_ui/navigationcenter.h"

#include <QJSEngine>

namespace voxendo {

NavigationCenter *NavigationCenter::shared()
{
    static NavigationCenter *instance = new NavigationCenter;
    return instance;
}

NavigationCenter *NavigationCenter::create(QQmlEngine *, QJSEngine *)
{
    NavigationCenter *instance = shared();
    QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
    return instance;
}

} // namespace voxendo

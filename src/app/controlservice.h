#pragma once

#include <QObject>
#include <QString>
#include <functional>

namespace voxendo {

// The running Voxendo's remote control on the session bus, so a desktop shortcut bound to
// `voxendo toggle` works where global key grabs do not (Wayland), and a second launch can
// hand over to the first. Service "com.voxendo.Voxendo", object "/com/voxendo/Voxendo".
class ControlService : public QObject
{
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "com.voxendo.Voxendo")

public:
    static constexpr const char *serviceName = "com.voxendo.Voxendo";
    static constexpr const char *objectPath = "/com/voxendo/Voxendo";
    static constexpr const char *interfaceName = "com.voxendo.Voxendo";

    struct Actions
    {
        std::function<void()> toggle;      // same entry point as the global shortcut
        std::function<void()> show;        // bring the settings window to the front
        std::function<QString()> status;   // the current status text
    };

    explicit ControlService(Actions actions, QObject *parent = nullptr);

    // Claims the service name. False when another instance holds it (or there is no bus);
    // `reason` then says which.
    bool registerOnSessionBus(QString *reason = nullptr);

public Q_SLOTS:
    void Toggle();
    void Show();
    QString Status();

private:
    Actions m_actions;
};

} // namespace voxendo

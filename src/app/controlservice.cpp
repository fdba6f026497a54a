#include "app/controlservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusError>

namespace voxendo {

ControlService::ControlService(Actions actions, QObject *parent)
    : QObject(parent)
    , m_actions(std::move(actions))
{
}

bool ControlService::registerOnSessionBus(QString *reason)
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        if (reason)
            *reason = QStringLiteral("no D-Bus session bus: %1").arg(bus.lastError().message());
        return false;
    }
    const QString name = QString::fromLatin1(serviceName);
    if (bus.interface()->isServiceRegistered(name).value()) {
        if (reason)
            *reason = QStringLiteral("the name %1 is taken").arg(name);
        return false;
    }
    // Without queueing or replacement: a second instance must fail to claim the name.
    const auto reply = bus.interface()->registerService(
        QString::fromLatin1(serviceName), QDBusConnectionInterface::DontQueueService,
        QDBusConnectionInterface::DontAllowReplacement);
    if (!reply.isValid() || reply.value() != QDBusConnectionInterface::ServiceRegistered) {
        if (reason)
            *reason = QStringLiteral("the name %1 is taken").arg(QString::fromLatin1(serviceName));
        return false;
    }
    if (!bus.registerObject(QString::fromLatin1(objectPath), this, QDBusConnection::ExportAllSlots)) {
        bus.interface()->unregisterService(QString::fromLatin1(serviceName));
        if (reason)
            *reason = bus.lastError().message();
        return false;
    }
    return true;
}

void ControlService::Toggle()
{
    if (m_actions.toggle)
        m_actions.toggle();
}

void ControlService::Show()
{
    if (m_actions.show)
        m_actions.show();
}

QString ControlService::Status()
{
    return m_actions.status ? m_actions.status() : QString();
}

} // namespace voxendo

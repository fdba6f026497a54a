#include "app/controlclient.h"

#include "app/controlservice.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusInterface>
#include <QDBusReply>
#include <QTextStream>

namespace voxendo {

bool ControlClient::instanceRunning()
{
    QDBusConnection bus = QDBusConnection::sessionBus();
    return bus.isConnected()
        && bus.interface()->isServiceRegistered(QString::fromLatin1(ControlService::serviceName)).value();
}

int ControlClient::run(const QString &method)
{
    QTextStream err(stderr);
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected()) {
        err << "voxendo: cannot reach the D-Bus session bus: " << bus.lastError().message() << '\n';
        return 1;
    }
    if (!instanceRunning()) {
        err << "voxendo: Voxendo is not running. Start it first (run 'voxendo' without arguments).\n";
        return 1;
    }
    QDBusInterface remote(QString::fromLatin1(ControlService::serviceName),
                          QString::fromLatin1(ControlService::objectPath),
                          QString::fromLatin1(ControlService::interfaceName), bus);
    remote.setTimeout(5000);
    const QDBusMessage reply = remote.call(method);
    if (reply.type() == QDBusMessage::ErrorMessage) {
        err << "voxendo: the running instance did not answer: " << reply.errorMessage() << '\n';
        return 1;
    }
    if (method == QLatin1String("Status"))
        QTextStream(stdout) << reply.arguments().value(0).toString() << '\n';
    return 0;
}

} // namespace voxendo

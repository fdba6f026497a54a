#include "platform/linux/pulseaudioinput.h"

#include "common/logging.h"

#include <QMediaDevices>
#include <pulse/context.h>
#include <pulse/error.h>
#include <pulse/introspect.h>
#include <pulse/subscribe.h>
#include <pulse/thread-mainloop.h>

namespace voxendo::platform {
namespace {
// A server that went away (restart, user switch) is looked for again at most this often.
constexpr qint64 kReconnectIntervalMs = 5000;
} // namespace

std::unique_ptr<AudioInputProvider> createAudioInputProvider()
{
    return std::make_unique<PulseAudioInputProvider>();
}

PulseAudioInputProvider::PulseAudioInputProvider()
{
    m_loop = pa_threaded_mainloop_new();
    if (!m_loop || pa_threaded_mainloop_start(m_loop) < 0) {
        qCWarning(lcPlatform) << "Could not start the PulseAudio event thread; using Qt's default input";
        if (m_loop)
            pa_threaded_mainloop_free(m_loop);
        m_loop = nullptr;
        return;
    }
    connectToServer();
}

PulseAudioInputProvider::~PulseAudioInputProvider()
{
    if (!m_loop)
        return;
    disconnectFromServer();
    pa_threaded_mainloop_stop(m_loop); // joins the thread: no callback runs after this
    pa_threaded_mainloop_free(m_loop);
}

Result<QAudioDevice> PulseAudioInputProvider::defaultInput()
{
    if (m_loop && !m_connected && m_lastAttempt.isValid()
        && m_lastAttempt.elapsed() >= kReconnectIntervalMs) {
        connectToServer(); // answers later; this start uses Qt's choice
    }

    const QList<QAudioDevice> inputs = QMediaDevices::audioInputs();
    if (!m_defaultSource.isEmpty()) {
        const QByteArray id = m_defaultSource.toUtf8();
        for (const QAudioDevice &device : inputs) {
            if (device.id() == id)
                return Result<QAudioDevice>::success(device);
        }
    }
    const QAudioDevice fallback = QMediaDevices::defaultAudioInput();
    if (!fallback.isNull())
        return Result<QAudioDevice>::success(fallback);
    if (!inputs.isEmpty())
        return Result<QAudioDevice>::success(inputs.first());
    return Result<QAudioDevice>::failure(
        Status::failure(1, QStringLiteral("No audio input device is available")));
}

void PulseAudioInputProvider::connectToServer()
{
    m_lastAttempt.start();
    pa_threaded_mainloop_lock(m_loop);
    if (m_context) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
    }
    m_context = pa_context_new(pa_threaded_mainloop_get_api(m_loop), "Voxendo");
    if (m_context) {
        pa_context_set_state_callback(m_context, &PulseAudioInputProvider::onContextState, this);
        // Never spawn a server of our own: without one there is no microphone to follow.
        if (pa_context_connect(m_context, nullptr, PA_CONTEXT_NOAUTOSPAWN, nullptr) < 0) {
            qCInfo(lcPlatform) << "No PulseAudio server:" << pa_strerror(pa_context_errno(m_context));
            pa_context_set_state_callback(m_context, nullptr, nullptr);
            pa_context_unref(m_context);
            m_context = nullptr;
        }
    }
    pa_threaded_mainloop_unlock(m_loop);
}

void PulseAudioInputProvider::disconnectFromServer()
{
    pa_threaded_mainloop_lock(m_loop);
    if (m_context) {
        pa_context_set_state_callback(m_context, nullptr, nullptr);
        pa_context_set_subscribe_callback(m_context, nullptr, nullptr);
        pa_context_disconnect(m_context);
        pa_context_unref(m_context);
        m_context = nullptr;
    }
    pa_threaded_mainloop_unlock(m_loop);
}

void PulseAudioInputProvider::setDefaultSource(const QString &name)
{
    m_connected = true;
    if (name == m_defaultSource)
        return;
    m_defaultSource = name;
    qCInfo(lcPlatform) << "Default audio source:" << name;
    Q_EMIT defaultSourceChanged(name);
}

void PulseAudioInputProvider::setDisconnected()
{
    m_connected = false;
    if (m_defaultSource.isEmpty())
        return;
    m_defaultSource.clear();
    Q_EMIT defaultSourceChanged(QString());
}

// The callbacks below run on the PulseAudio thread with its lock held; they only ask the server
// and post what they learn to the main thread, which owns every field.

void PulseAudioInputProvider::onContextState(pa_context *context, void *self)
{
    auto *p = static_cast<PulseAudioInputProvider *>(self);
    switch (pa_context_get_state(context)) {
    case PA_CONTEXT_READY: {
        // A change of the default source is a "server" change event.
        pa_context_set_subscribe_callback(
            context,
            [](pa_context *c, pa_subscription_event_type_t type, uint32_t, void *userdata) {
                if ((type & PA_SUBSCRIPTION_EVENT_FACILITY_MASK) == PA_SUBSCRIPTION_EVENT_SERVER) {
                    if (pa_operation *op = pa_context_get_server_info(c, &onServerInfo, userdata))
                        pa_operation_unref(op);
                }
            },
            p);
        if (pa_operation *op = pa_context_subscribe(context, PA_SUBSCRIPTION_MASK_SERVER, nullptr, nullptr))
            pa_operation_unref(op);
        if (pa_operation *op = pa_context_get_server_info(context, &onServerInfo, p))
            pa_operation_unref(op);
        break;
    }
    case PA_CONTEXT_FAILED:
    case PA_CONTEXT_TERMINATED:
        QMetaObject::invokeMethod(p, [p] { p->setDisconnected(); }, Qt::QueuedConnection);
        break;
    default:
        break;
    }
}

void PulseAudioInputProvider::onServerInfo(pa_context *, const pa_server_info *info, void *self)
{
    auto *p = static_cast<PulseAudioInputProvider *>(self);
    const QString name = info && info->default_source_name
                             ? QString::fromUtf8(info->default_source_name)
                             : QString();
    QMetaObject::invokeMethod(p, [p, name] { p->setDefaultSource(name); }, Qt::QueuedConnection);
}

} // namespace voxendo::platform

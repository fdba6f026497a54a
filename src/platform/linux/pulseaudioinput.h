#pragma once

#include "platform/audioinput.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

struct pa_context;
struct pa_server_info;
struct pa_threaded_mainloop;

namespace voxendo::platform {

// Follows the sound server's default source. Qt 6.4 does not: its default input is merely the
// first capture device it lists, which ignores the choice the user made in the desktop's sound
// settings. A libpulse context on its own thread keeps the default source's name up to date
// (PipeWire answers the same protocol), so asking costs nothing at the start of a recording.
class PulseAudioInputProvider final : public QObject, public AudioInputProvider
{
    Q_OBJECT
public:
    PulseAudioInputProvider();
    ~PulseAudioInputProvider() override;

    // The Qt input whose id is the server's default source; Qt's own choice while the server's
    // answer is unknown or names a source Qt does not offer (a monitor of an output).
    Result<QAudioDevice> defaultInput() override;

    // The server's default source as last reported; empty while unknown. Main thread.
    QString defaultSourceName() const { return m_defaultSource; }

Q_SIGNALS:
    void defaultSourceChanged(const QString &name);

private:
    void connectToServer();
    void disconnectFromServer();
    void setDefaultSource(const QString &name);
    void setDisconnected();

    static void onContextState(pa_context *context, void *self);
    static void onServerInfo(pa_context *context, const pa_server_info *info, void *self);

    pa_threaded_mainloop *m_loop = nullptr;
    pa_context *m_context = nullptr;
    QString m_defaultSource;
    bool m_connected = false;
    QElapsedTimer m_lastAttempt;
};

} // namespace voxendo::platform

#pragma once

#include "platform/status.h"

#include <QAudioDevice>
#include <memory>

namespace voxendo::platform {

// Which microphone to record from: the input the desktop has chosen as its default.
class AudioInputProvider
{
public:
    virtual ~AudioInputProvider() = default;

    // The input device to record from now, or a failure whose message says why none is usable.
    // Main thread; answers from what is already known and never waits on the sound server.
    virtual Result<QAudioDevice> defaultInput() = 0;
};

// The desktop's provider: PulseAudio's (or PipeWire's) default source, else Qt's choice.
std::unique_ptr<AudioInputProvider> createAudioInputProvider();

} // namespace voxendo::platform

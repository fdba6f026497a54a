#pragma once

#include "platform/audioinput.h"

#include <QMediaDevices>

namespace voxendo::test {

// An input provider that answers what the test says: a given device, or no device at all.
class FakeAudioInputProvider : public platform::AudioInputProvider
{
public:
    static std::unique_ptr<FakeAudioInputProvider> none()
    {
        auto p = std::make_unique<FakeAudioInputProvider>();
        p->answer = platform::Result<QAudioDevice>::failure(
            platform::Status::failure(1, QStringLiteral("No audio input device is available")));
        return p;
    }
    static std::unique_ptr<FakeAudioInputProvider> device(const QAudioDevice &d)
    {
        auto p = std::make_unique<FakeAudioInputProvider>();
        p->answer = platform::Result<QAudioDevice>::success(d);
        return p;
    }
    // The Qt input with this id (e.g. the test session's virtual microphone), or none.
    static std::unique_ptr<FakeAudioInputProvider> byId(const QByteArray &id)
    {
        for (const QAudioDevice &d : QMediaDevices::audioInputs()) {
            if (d.id() == id)
                return device(d);
        }
        return none();
    }

    platform::Result<QAudioDevice> defaultInput() override
    {
        ++calls;
        return answer;
    }

    platform::Result<QAudioDevice> answer;
    int calls = 0;
};

} // namespace voxendo::test

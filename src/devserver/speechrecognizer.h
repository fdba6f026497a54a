#pragma once

#include "platform/status.h"

#include <QMutex>
#include <QString>

#include <vector>

struct ps_decoder_s;

namespace voxendo::devserver {

// Offline English speech recognition with pocketsphinx and the Debian model (acoustic model
// en-us/, language model en-us.lm.bin, dictionary cmudict-en-us.dict in one folder).
// Thread-safe: a decoder is not, so each call borrows one from a small pool; the pool grows to
// the number of calls that run at once (the caller's thread pool bounds that).
class SpeechRecognizer
{
public:
    explicit SpeechRecognizer(QString modelDir);
    ~SpeechRecognizer();

    // Whether the model files are all there; the message names the first one missing.
    platform::Status checkModel() const;
    // 16 kHz mono samples in, lower-case words out ("" for silence).
    platform::Result<QString> recognize(const std::vector<qint16> &samples);
    // Loads one decoder ahead of the first request (loading takes a few hundred ms).
    platform::Status warmUp();

    QString modelDir() const { return m_modelDir; }

private:
    platform::Result<ps_decoder_s *> acquire();
    void release(ps_decoder_s *decoder);

    QString m_modelDir;
    QMutex m_mutex;
    std::vector<ps_decoder_s *> m_idle;

    Q_DISABLE_COPY(SpeechRecognizer)
};

} // namespace voxendo::devserver

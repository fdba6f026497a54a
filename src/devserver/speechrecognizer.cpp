#include "devserver/speechrecognizer.h"

#include <QFileInfo>

#include <pocketsphinx.h>
#include <sphinxbase/err.h>

#include <mutex>

namespace voxendo::devserver {

namespace {

QString acousticModel(const QString &dir) { return dir + QStringLiteral("/en-us"); }
QString languageModel(const QString &dir) { return dir + QStringLiteral("/en-us.lm.bin"); }
QString dictionary(const QString &dir) { return dir + QStringLiteral("/cmudict-en-us.dict"); }

} // namespace

SpeechRecognizer::SpeechRecognizer(QString modelDir)
    : m_modelDir(std::move(modelDir))
{
    // sphinxbase logs every step of loading and decoding to stderr; the server has its own log.
    static std::once_flag quiet;
    std::call_once(quiet, [] { err_set_logfp(nullptr); });
}

SpeechRecognizer::~SpeechRecognizer()
{
    for (ps_decoder_t *d : m_idle)
        ps_free(d);
}

platform::Status SpeechRecognizer::checkModel() const
{
    const QStringList needed = {acousticModel(m_modelDir) + QStringLiteral("/mdef"),
                                languageModel(m_modelDir), dictionary(m_modelDir)};
    for (const QString &path : needed) {
        if (!QFileInfo(path).isReadable())
            return platform::Status::failure(1, QStringLiteral("speech model file missing: %1").arg(path));
    }
    return platform::Status::success();
}

platform::Status SpeechRecognizer::warmUp()
{
    auto decoder = acquire();
    if (!decoder.ok())
        return decoder.status;
    release(*decoder.value);
    return platform::Status::success();
}

platform::Result<ps_decoder_t *> SpeechRecognizer::acquire()
{
    {
        QMutexLocker lock(&m_mutex);
        if (!m_idle.empty()) {
            ps_decoder_t *d = m_idle.back();
            m_idle.pop_back();
            return platform::Result<ps_decoder_t *>::success(d);
        }
    }
    if (const auto status = checkModel(); !status.ok())
        return platform::Result<ps_decoder_t *>::failure(status);
    const QByteArray hmm = acousticModel(m_modelDir).toLocal8Bit();
    const QByteArray lm = languageModel(m_modelDir).toLocal8Bit();
    const QByteArray dict = dictionary(m_modelDir).toLocal8Bit();
    cmd_ln_t *config = cmd_ln_init(nullptr, ps_args(), TRUE, "-hmm", hmm.constData(), "-lm",
                                   lm.constData(), "-dict", dict.constData(), nullptr);
    ps_decoder_t *decoder = config ? ps_init(config) : nullptr;
    if (config)
        cmd_ln_free_r(config); // the decoder keeps its own reference
    if (!decoder)
        return platform::Result<ps_decoder_t *>::failure(
            platform::Status::failure(2, QStringLiteral("pocketsphinx could not load the model in %1").arg(m_modelDir)));
    return platform::Result<ps_decoder_t *>::success(decoder);
}

void SpeechRecognizer::release(ps_decoder_t *decoder)
{
    QMutexLocker lock(&m_mutex);
    m_idle.push_back(decoder);
}

platform::Result<QString> SpeechRecognizer::recognize(const std::vector<qint16> &samples)
{
    auto acquired = acquire();
    if (!acquired.ok())
        return platform::Result<QString>::failure(acquired.status);
    ps_decoder_t *decoder = *acquired.value;

    QString text;
    bool ok = ps_start_utt(decoder) >= 0;
    // The whole recording is one utterance: recognising it in one pass is more accurate than
    // feeding it in live-sized blocks.
    if (ok && !samples.empty())
        ok = ps_process_raw(decoder, samples.data(), samples.size(), FALSE, TRUE) >= 0;
    if (ps_end_utt(decoder) < 0)
        ok = false;
    if (ok) {
        int32 score = 0;
        if (const char *hyp = ps_get_hyp(decoder, &score))
            text = QString::fromUtf8(hyp).simplified();
    }
    release(decoder);
    if (!ok)
        return platform::Result<QString>::failure(
            platform::Status::failure(3, QStringLiteral("speech recognition failed")));
    return platform::Result<QString>::success(text);
}

} // namespace voxendo::devserver

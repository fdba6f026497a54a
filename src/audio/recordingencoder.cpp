#include "audio/recordingencoder.h"

#include "audio/aacencodermodule.h"

#include <QTimer>

#include <cstring>
#include <unordered_map>
#include <vector>

namespace voxendo {

// Lives on the encoder thread; owns the writers of the sessions in progress.
class RecordingEncoderWorker : public QObject
{
public:
    RecordingEncoderWorker(RecordingEncoder *owner, std::chrono::milliseconds unloadDelay)
        : m_owner(owner), m_unloadDelay(unloadDelay)
    {
    }

    void begin(quint64 id, std::shared_ptr<AacFileWriter> writer)
    {
        m_sessions[id].writer = std::move(writer);
        sessionsChanged();
    }

    void open(quint64 id, RecordingFile file, const AacFileWriter::Settings &settings)
    {
        auto writer = AacFileWriter::open(std::move(file), settings);
        if (!writer.ok()) {
            post([o = m_owner, id, reason = writer.status.message] { Q_EMIT o->failed(id, reason); });
            sessionsChanged();
            return;
        }
        m_sessions[id].writer = std::shared_ptr<AacFileWriter>(std::move(*writer.value));
        sessionsChanged();
    }

    void append(quint64 id, const QByteArray &pcm)
    {
        auto it = m_sessions.find(id);
        if (it == m_sessions.end())
            return; // already failed or abandoned
        Session &s = it->second;
        const qsizetype carried = s.carry.isEmpty() ? 0 : 1;
        const qsizetype bytes = carried + pcm.size();
        m_samples.resize(size_t(bytes / 2));
        if (!m_samples.empty()) {
            auto *dst = reinterpret_cast<char *>(m_samples.data());
            if (carried)
                dst[0] = s.carry.at(0);
            std::memcpy(dst + carried, pcm.constData(), size_t(bytes / 2 * 2 - carried));
        }
        s.carry = (bytes % 2) ? pcm.right(1) : QByteArray();
        const platform::Status status = s.writer->write(m_samples);
        if (!status.ok()) {
            m_sessions.erase(it);
            post([o = m_owner, id, reason = status.message] { Q_EMIT o->failed(id, reason); });
            sessionsChanged();
        }
    }

    void finish(quint64 id)
    {
        auto it = m_sessions.find(id);
        if (it == m_sessions.end())
            return; // failed() is already on its way
        const platform::Status status = it->second.writer->finish();
        m_sessions.erase(it);
        post([o = m_owner, id, status] { Q_EMIT o->finished(id, status); });
        sessionsChanged();
    }

    void abandon(quint64 id)
    {
        m_sessions.erase(id);
        sessionsChanged();
    }

    // On the encoder thread, before it ends: its timer cannot be stopped from another one.
    void shutdown()
    {
        delete m_unloadTimer;
        m_unloadTimer = nullptr;
    }

private:
    // With no recording left, the encoder module is unloaded after the delay, unless a new
    // recording begins first.
    void sessionsChanged()
    {
        if (!m_unloadTimer) {
            m_unloadTimer = new QTimer(this); // made here, on the encoder thread
            m_unloadTimer->setSingleShot(true);
            m_unloadTimer->setInterval(m_unloadDelay);
            connect(m_unloadTimer, &QTimer::timeout, this, [] { AacEncoderModule::shared().unloadIfUnused(); });
        }
        if (m_sessions.empty())
            m_unloadTimer->start();
        else
            m_unloadTimer->stop();
    }

    struct Session
    {
        std::shared_ptr<AacFileWriter> writer;
        QByteArray carry; // odd byte of a sample split across buffers
    };

    template <typename F>
    void post(F &&f)
    {
        QMetaObject::invokeMethod(m_owner, std::forward<F>(f), Qt::QueuedConnection);
    }

    RecordingEncoder *m_owner;
    const std::chrono::milliseconds m_unloadDelay;
    QTimer *m_unloadTimer = nullptr;
    std::unordered_map<quint64, Session> m_sessions;
    std::vector<qint16> m_samples;
};

RecordingEncoder::RecordingEncoder(QObject *parent, std::chrono::milliseconds unloadDelay)
    : QObject(parent)
{
    m_worker = new RecordingEncoderWorker(this, unloadDelay);
    m_worker->moveToThread(&m_thread);
    m_thread.setObjectName(QStringLiteral("voxendo-encoder"));
    m_thread.start();
}

RecordingEncoder::~RecordingEncoder()
{
    QMetaObject::invokeMethod(m_worker, [w = m_worker] { w->shutdown(); }, Qt::BlockingQueuedConnection);
    m_thread.quit();
    m_thread.wait();
    delete m_worker; // the thread is gone: its writers can be closed from here
}

quint64 RecordingEncoder::begin(std::unique_ptr<AacFileWriter> writer)
{
    const quint64 id = m_nextSession++;
    // Queued lambdas must be copyable, hence a shared pointer for the hand-over.
    std::shared_ptr<AacFileWriter> shared(std::move(writer));
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, id, shared] { w->begin(id, shared); }, Qt::QueuedConnection);
    return id;
}

quint64 RecordingEncoder::begin(RecordingFile file, const AacFileWriter::Settings &settings)
{
    const quint64 id = m_nextSession++;
    auto shared = std::make_shared<RecordingFile>(std::move(file));
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, id, shared, settings] { w->open(id, std::move(*shared), settings); },
        Qt::QueuedConnection);
    return id;
}

void RecordingEncoder::append(quint64 session, const QByteArray &pcm)
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, session, pcm] { w->append(session, pcm); }, Qt::QueuedConnection);
}

void RecordingEncoder::finish(quint64 session)
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, session] { w->finish(session); }, Qt::QueuedConnection);
}

void RecordingEncoder::abandon(quint64 session)
{
    QMetaObject::invokeMethod(
        m_worker, [w = m_worker, session] { w->abandon(session); }, Qt::QueuedConnection);
}

} // namespace voxendo

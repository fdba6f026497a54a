#include "insertion/recordingoverlaycontroller.h"

#include "insertion/recordingoverlaypanel.h"
#include "platform/overlaywindow.h"

#include <QJSEngine>
#include <QQmlEngine>

namespace voxendo {

RecordingOverlayController::RecordingOverlayController(std::unique_ptr<platform::OverlayWindowHints> hints,
                                                       QObject *parent)
    : QObject(parent)
    , m_hints(std::move(hints))
{
}

RecordingOverlayController::~RecordingOverlayController()
{
    // The pill's QML lives in our engine: it goes first.
    delete m_panel.data();
}

RecordingOverlayController &RecordingOverlayController::shared()
{
    static auto *instance = new RecordingOverlayController(platform::createOverlayWindowHints());
    return *instance;
}

RecordingOverlayController *RecordingOverlayController::create(QQmlEngine *, QJSEngine *)
{
    RecordingOverlayController *instance = &shared();
    QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
    return instance;
}

RecordingOverlayPanel *RecordingOverlayController::panel() const
{
    return m_panel.data();
}

void RecordingOverlayController::showListening()
{
    show(OverlayMode::listening);
}

void RecordingOverlayController::showInserting()
{
    show(OverlayMode::inserting);
}

void RecordingOverlayController::show(OverlayMode mode)
{
    dismissPanel();
    if (!m_engine)
        m_engine = new QQmlEngine(this);
    m_panel = new RecordingOverlayPanel(mode, m_engine, m_hints.get());
    m_panel->orderFrontRegardless();
}

void RecordingOverlayController::hide()
{
    dismissPanel();
}

void RecordingOverlayController::dismissPanel()
{
    if (!m_panel)
        return;
    m_panel->orderOut();
    // Later, not now: a drag may still be delivering events to it.
    m_panel->deleteLater();
    m_panel = nullptr;
}

} // namespace voxendo

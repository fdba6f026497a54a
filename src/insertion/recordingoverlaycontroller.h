#pragma once

#include "insertion/overlaymode.h"

#include <QObject>
#include <QPointer>
#include <QtQml/qqmlregistration.h>

#include <memory>

class QQmlEngine;
class QJSEngine;

namespace voxendo {

namespace platform {
class OverlayWindowHints;
}
class RecordingOverlayPanel;

// Shows and hides the recording pill. It decides nothing about when: the application shell calls
// it from the dictation state. Every show makes a brand-new pill, placed anew; at most one exists.
class RecordingOverlayController : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    explicit RecordingOverlayController(std::unique_ptr<platform::OverlayWindowHints> hints,
                                        QObject *parent = nullptr);
    ~RecordingOverlayController() override;

    static RecordingOverlayController &shared();
    static RecordingOverlayController *create(QQmlEngine *, QJSEngine *);

    // Main thread only.
    Q_INVOKABLE void showListening();
    Q_INVOKABLE void showInserting();
    void show(OverlayMode mode);
    Q_INVOKABLE void hide();

    // The pill on screen, or null when hidden.
    RecordingOverlayPanel *panel() const;

private:
    void dismissPanel();

    std::unique_ptr<platform::OverlayWindowHints> m_hints;
    QQmlEngine *m_engine = nullptr;
    QPointer<RecordingOverlayPanel> m_panel;
};

} // namespace voxendo

#pragma once

#include <QString>
#include <QStringList>
#include <functional>
#include <memory>

namespace voxendo {

// What an alert says and offers; buttons are listed in the order they are offered, the first
// being the default.
struct Alert
{
    QString messageText;
    QString informativeText;
    QStringList buttons;
};

// Shows alerts to the user. A seam so that tests can read and answer an alert without running a
// modal dialog.
class AlertPresenter
{
public:
    virtual ~AlertPresenter() = default;

    // Shows the alert and returns at once; `done` is called on the main thread with the index of
    // the chosen button, or -1 when the alert was dismissed without choosing one.
    virtual void present(const Alert &alert, std::function<void(int button)> done) = 0;
};

// A QMessageBox with the warning icon, application-modal, on top of other windows: Voxendo
// usually has no window of its own open when it needs to say something.
class MessageBoxAlertPresenter final : public AlertPresenter
{
public:
    void present(const Alert &alert, std::function<void(int button)> done) override;
};

} // namespace voxendo

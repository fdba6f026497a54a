#pragma once

#include "insertion/alertpresenter.h"
#include "platform/clipboardfetchwatcher.h"
#include "platform/keysender.h"

#include <QList>
#include <QStringList>
#include <functional>

namespace voxendo::test {

// A key sender that posts nothing and records each paste chord. `heldModifiers()` reports
// `modifiersHeldFor` polls worth of `held`, then none.
class FakeKeySender final : public platform::KeySender
{
public:
    platform::Status available = platform::Status::success();
    Qt::KeyboardModifiers held;
    int modifiersHeldFor = 0;
    // Called at each chord, e.g. to note what the clipboard held at that moment.
    std::function<void()> onChord;

    int chords = 0;
    int modifierPolls = 0;

    platform::Status canPostSyntheticInput() override { return available; }
    platform::Result<Qt::KeyboardModifiers> heldModifiers() override
    {
        ++modifierPolls;
        if (modifiersHeldFor-- > 0)
            return platform::Result<Qt::KeyboardModifiers>::success(held);
        return platform::Result<Qt::KeyboardModifiers>::success(Qt::NoModifier);
    }
    platform::Status postPasteChord() override
    {
        if (!available.ok())
            return available;
        ++chords;
        if (onChord)
            onChord();
        return platform::Status::success();
    }
};

// Clipboard fetches on demand: `fetch("UTF8_STRING")` is a target taking the text.
class FakeClipboardFetchWatcher final : public platform::ClipboardFetchWatcher
{
public:
    platform::Status available = platform::Status::success();
    platform::Status status() const override { return available; }
    void fetch(const QString &format) { Q_EMIT fetchRequested(format); }
};

// Records alerts instead of showing them; `answer(i)` chooses button i of the last one.
class FakeAlertPresenter final : public AlertPresenter
{
public:
    QList<Alert> alerts;

    void present(const Alert &alert, std::function<void(int)> done) override
    {
        alerts.append(alert);
        m_done = std::move(done);
    }
    void answer(int button)
    {
        if (auto done = std::exchange(m_done, {}))
            done(button);
    }

private:
    std::function<void(int)> m_done;
};

} // namespace voxendo::test

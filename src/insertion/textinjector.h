#pragma once

#include "insertion/alertpresenter.h"
#include "platform/clipboardfetchwatcher.h"
#include "platform/keysender.h"

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QtQml/qqmlregistration.h>

#include <chrono>
#include <deque>
#include <memory>
#include <optional>

class QMimeData;
class QQmlEngine;
class QJSEngine;

namespace voxendo {

// Delays of one insertion; tests shorten them.
struct TextInjectorTiming
{
    // From writing the clipboard to posting the chord.
    std::chrono::milliseconds pasteDelay{150};
    // From posting the chord to the earliest restore.
    std::chrono::milliseconds restoreDelay{500};
    // How long the chord waits for the user to let go of the shortcut's modifier keys.
    std::chrono::milliseconds modifierReleaseTimeout{1000};
    // How long after the chord a target that has not fetched the text is waited for.
    std::chrono::milliseconds fetchTimeout{3000};
    // Quiet time after the target's last fetch: some ask for a second format right after.
    std::chrono::milliseconds fetchSettle{100};
};

// Puts a finished transcription at the text cursor of the focused application: the text goes on
// the clipboard, the paste chord follows, and the user's previous clipboard is put back.
//
// One insertion runs at a time. A second call while one is in flight waits for it to finish,
// so that its snapshot is the user's clipboard and not the previous transcript.
class TextInjector : public QObject
{
    Q_OBJECT
    QML_ELEMENT
    QML_SINGLETON

public:
    // One representation of one clipboard item.
    struct PasteboardItem
    {
        QString type;
        QByteArray data;
        friend bool operator==(const PasteboardItem &, const PasteboardItem &) = default;
    };
    // One entry per clipboard item, each listing its representations in the owner's order.
    using PasteboardSnapshot = QList<QList<PasteboardItem>>;

    using Timing = TextInjectorTiming;

    static constexpr int previewLength = 100;
    // Marks clipboard contents as ours; the value is unique to one insertion.
    static constexpr const char *ownerFormat = "application/x-voxendo-owner";
    // Asks clipboard managers (Klipper, KeePassXC's convention) to keep the transcript out of
    // their history: it is on the clipboard for a moment only, on its way into a text field.
    static constexpr const char *secretHintFormat = "x-kde-passwordManagerHint";

    TextInjector(std::unique_ptr<platform::KeySender> keySender,
                 std::unique_ptr<platform::ClipboardFetchWatcher> fetchWatcher,
                 std::unique_ptr<AlertPresenter> alertPresenter, Timing timing = {},
                 QObject *parent = nullptr);
    ~TextInjector() override;

    // The process-wide instance, wired to this session's platform. Needs a QApplication.
    static TextInjector &shared();
    static TextInjector *create(QQmlEngine *, QJSEngine *);

    // Main thread only. Writes the clipboard (or queues behind an insertion in flight) and
    // returns; the chord and the restore follow on the main thread.
    Q_INVOKABLE void injectText(const QString &text);

    // Every representation the clipboard data holds, in order, without the bookkeeping targets
    // of the X11 selection protocol and Qt's derived image format, which are not data.
    static PasteboardSnapshot snapshotOf(const QMimeData *mimeData);
    // At most the first 100 characters (user-perceived characters, so nothing is cut in half),
    // or "(empty)".
    static QString alertPreview(const QString &text);
    static Alert permissionAlert(const QString &text);

Q_SIGNALS:
    // "Open Settings" in the alert shown when no synthetic input is possible: the settings window
    // should open at its Permissions section.
    void permissionSettingsRequested();
    // An insertion has run its course: restored, or left the clipboard as it was.
    void insertionFinished();

private:
    enum class Phase { Idle, WaitingToPaste, WaitingForModifiers, WaitingForFetch };
    struct Insertion
    {
        QString text;
        PasteboardSnapshot snapshot;
        QByteArray token;
        bool expectFetch = false;
        bool fetched = false;
        QElapsedTimer sincePhase;
        QElapsedTimer sinceFetch;
    };

    void copyToClipboardOnly(const QString &text);
    void startNext();
    void onTimer();
    void checkModifiersAndPaste();
    void paste();
    void checkRestore();
    void onFetchRequested(const QString &format);
    void restore();
    void finish();
    void presentPermissionAlert(const QString &text);

    std::unique_ptr<platform::KeySender> m_keySender;
    std::unique_ptr<platform::ClipboardFetchWatcher> m_fetchWatcher;
    std::unique_ptr<AlertPresenter> m_alertPresenter;
    Timing m_timing;
    QTimer m_timer;
    Phase m_phase = Phase::Idle;
    std::optional<Insertion> m_current;
    std::deque<QString> m_pending;
};

} // namespace voxendo

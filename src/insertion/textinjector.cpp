#include "insertion/textinjector.h"

#include "common/logging.h"
#include "common/text.h"
#include "common/trace.h"

#include <QClipboard>
#include <QGuiApplication>
#include <QJSEngine>
#include <QMimeData>
#include <QPointer>
#include <QRandomGenerator>

#include <algorithm>

namespace voxendo {

using namespace std::chrono_literals;

namespace {

// How often the chord checks whether the user has let go of the modifier keys.
constexpr auto kModifierPollInterval = 10ms;

// Targets of the X11 selection protocol and formats Qt derives on its own: restoring them would
// advertise them twice or as a dozen image conversions.
bool isBookkeepingFormat(const QString &format)
{
    static const QStringList formats = {
        QStringLiteral("TARGETS"),        QStringLiteral("TIMESTAMP"),
        QStringLiteral("MULTIPLE"),       QStringLiteral("SAVE_TARGETS"),
        QStringLiteral("DELETE"),         QStringLiteral("INSERT_SELECTION"),
        QStringLiteral("INSERT_PROPERTY"), QStringLiteral("application/x-qt-image"),
    };
    return formats.contains(format);
}

// A request for one of these is the target looking at what we offer, not taking the text.
bool isProbeFormat(const QString &format)
{
    return format == QLatin1String("TARGETS") || format == QLatin1String("TIMESTAMP");
}

std::chrono::milliseconds elapsed(const QElapsedTimer &timer)
{
    return std::chrono::milliseconds(timer.elapsed());
}

int ms(std::chrono::milliseconds d)
{
    return int(std::max<std::chrono::milliseconds::rep>(0, d.count()));
}

} // namespace

TextInjector::TextInjector(std::unique_ptr<platform::KeySender> keySender,
                           std::unique_ptr<platform::ClipboardFetchWatcher> fetchWatcher,
                           std::unique_ptr<AlertPresenter> alertPresenter, Timing timing,
                           QObject *parent)
    : QObject(parent)
    , m_keySender(std::move(keySender))
    , m_fetchWatcher(std::move(fetchWatcher))
    , m_alertPresenter(std::move(alertPresenter))
    , m_timing(timing)
{
    m_timer.setSingleShot(true);
    m_timer.setTimerType(Qt::PreciseTimer);
    connect(&m_timer, &QTimer::timeout, this, &TextInjector::onTimer);
    if (m_fetchWatcher) {
        connect(m_fetchWatcher.get(), &platform::ClipboardFetchWatcher::fetchRequested, this,
                &TextInjector::onFetchRequested);
    }
}

TextInjector::~TextInjector() = default;

TextInjector &TextInjector::shared()
{
    static TextInjector *instance =
        new TextInjector(platform::createKeySender(), platform::createClipboardFetchWatcher(),
                         std::make_unique<MessageBoxAlertPresenter>());
    return *instance;
}

TextInjector *TextInjector::create(QQmlEngine *, QJSEngine *)
{
    TextInjector *instance = &shared();
    QJSEngine::setObjectOwnership(instance, QJSEngine::CppOwnership);
    return instance;
}

void TextInjector::injectText(const QString &text)
{
    qCInfo(lcTextInjector, "Injecting text (length: %lld)", static_cast<long long>(Text::characterCount(text)));
    const platform::Status trusted = m_keySender->canPostSyntheticInput();
    qCInfo(lcTextInjector, "Accessibility permission: %s", trusted.ok() ? "true" : "false");

    if (!trusted.ok()) {
        qCCritical(lcTextInjector, "Accessibility permission not granted - text will be copied to clipboard only");
        qCInfo(lcTextInjector, "Synthetic input unavailable: %s", qUtf8Printable(trusted.message));
        copyToClipboardOnly(text);
        QTimer::singleShot(0, this, [this, text] { presentPermissionAlert(text); });
        return;
    }

    m_pending.push_back(text);
    if (m_phase == Phase::Idle)
        startNext();
}

void TextInjector::copyToClipboardOnly(const QString &text)
{
    // Left for the user to paste by hand, so it is ordinary clipboard text: no owner mark (nothing
    // will be restored over it) and no hint that would keep it out of a clipboard manager.
    QGuiApplication::clipboard()->setText(text);
    qCInfo(lcTextInjector, "Text copied to clipboard (manual paste required)");
}

TextInjector::PasteboardSnapshot TextInjector::snapshotOf(const QMimeData *mimeData)
{
    PasteboardSnapshot snapshot;
    if (!mimeData)
        return snapshot;
    // The clipboard holds one item here; its representations are its formats.
    QList<PasteboardItem> item;
    for (const QString &format : mimeData->formats()) {
        if (isBookkeepingFormat(format))
            continue;
        const QByteArray data = mimeData->data(format);
        if (data.isNull())
            continue; // unreadable now, so not restorable later
        item.append({format, data});
    }
    if (!item.isEmpty())
        snapshot.append(item);
    return snapshot;
}

void TextInjector::startNext()
{
    if (m_pending.empty()) {
        m_phase = Phase::Idle;
        return;
    }
    Insertion insertion;
    insertion.text = m_pending.front();
    m_pending.pop_front();

    QClipboard *clipboard = QGuiApplication::clipboard();
    // Copies the bytes: the clipboard's QMimeData dies when we set ours.
    insertion.snapshot = snapshotOf(clipboard->mimeData());
    insertion.token = QByteArray::number(QRandomGenerator::global()->generate64(), 16);

    auto *mime = new QMimeData;
    mime->setText(insertion.text);
    mime->setData(QString::fromLatin1(ownerFormat), insertion.token);
    mime->setData(QString::fromLatin1(secretHintFormat), QByteArrayLiteral("secret"));
    clipboard->setMimeData(mime);
    trace("clipboard-set");
    qCInfo(lcTextInjector, "Text copied to clipboard");

    m_current = std::move(insertion);
    m_phase = Phase::WaitingToPaste;
    m_timer.start(ms(m_timing.pasteDelay));
}

void TextInjector::onTimer()
{
    switch (m_phase) {
    case Phase::WaitingToPaste:
        m_phase = Phase::WaitingForModifiers;
        m_current->sincePhase.start();
        checkModifiersAndPaste();
        break;
    case Phase::WaitingForModifiers:
        checkModifiersAndPaste();
        break;
    case Phase::WaitingForFetch:
        checkRestore();
        break;
    case Phase::Idle:
        break;
    }
}

void TextInjector::checkModifiersAndPaste()
{
    // The user may still hold the shortcut's modifiers; a chord sent now would arrive as, say,
    // Alt+Control+V and paste nothing. Give them a moment to let go.
    const auto held = m_keySender->heldModifiers();
    const bool anyHeld = held.ok() && *held.value != Qt::NoModifier;
    if (anyHeld && elapsed(m_current->sincePhase) < m_timing.modifierReleaseTimeout) {
        m_timer.start(ms(kModifierPollInterval));
        return;
    }
    if (anyHeld)
        qCInfo(lcTextInjector, "Modifier keys still held - pasting with them lifted");
    paste();
}

void TextInjector::paste()
{
    const platform::Status posted = m_keySender->postPasteChord();
    trace("paste-chord");
    if (!posted.ok())
        qCWarning(lcTextInjector, "Paste keystroke not posted: %s", qUtf8Printable(posted.message));
    qCInfo(lcTextInjector, "Paste simulated");

    m_current->expectFetch = posted.ok() && m_fetchWatcher && m_fetchWatcher->status().ok();
    m_current->fetched = false;
    m_current->sincePhase.start();
    m_phase = Phase::WaitingForFetch;
    m_timer.start(ms(m_timing.restoreDelay));
}

void TextInjector::onFetchRequested(const QString &format)
{
    // Fetches before the chord come from clipboard managers reacting to the new owner.
    if (m_phase != Phase::WaitingForFetch || isProbeFormat(format))
        return;
    m_current->fetched = true;
    m_current->sinceFetch.start();
    checkRestore();
}

void TextInjector::checkRestore()
{
    Insertion &current = *m_current;
    const auto sinceChord = elapsed(current.sincePhase);
    std::chrono::milliseconds wait = m_timing.restoreDelay - sinceChord;
    if (current.expectFetch) {
        // Restoring before a slow target has fetched would make it paste the old clipboard.
        if (current.fetched)
            wait = std::max(wait, m_timing.fetchSettle - elapsed(current.sinceFetch));
        else if (sinceChord < m_timing.fetchTimeout)
            wait = std::max(wait, m_timing.fetchTimeout - sinceChord);
        else
            qCInfo(lcTextInjector, "No application fetched the text - restoring the clipboard");
    }
    if (wait > 0ms) {
        m_timer.start(ms(wait));
        return;
    }
    restore();
}

void TextInjector::restore()
{
    m_timer.stop();
    const Insertion &current = *m_current;
    if (current.snapshot.isEmpty()) {
        finish();
        return;
    }
    QClipboard *clipboard = QGuiApplication::clipboard();
    const QMimeData *now = clipboard->mimeData();
    if (!now || now->data(QString::fromLatin1(ownerFormat)) != current.token) {
        // The user copied something after we wrote the clipboard: that is newer than the
        // snapshot, and theirs to keep.
        qCInfo(lcTextInjector, "Clipboard changed since the paste - keeping its new contents");
        finish();
        return;
    }
    auto *mime = new QMimeData;
    for (const QList<PasteboardItem> &item : current.snapshot) {
        for (const PasteboardItem &representation : item)
            mime->setData(representation.type, representation.data);
    }
    clipboard->setMimeData(mime);
    finish();
}

void TextInjector::finish()
{
    m_current.reset();
    m_phase = Phase::Idle;
    Q_EMIT insertionFinished();
    // A queued insertion starts after listeners have seen this one end.
    if (!m_pending.empty() && m_phase == Phase::Idle)
        startNext();
}

QString TextInjector::alertPreview(const QString &text)
{
    if (text.isEmpty())
        return QStringLiteral("(empty)");
    return Text::leftCharacters(text, previewLength);
}

Alert TextInjector::permissionAlert(const QString &text)
{
    return Alert{
        QStringLiteral("Accessibility Permission Required"),
        QStringLiteral("Voxendo needs Accessibility permission to paste text automatically.\n\n"
                       "Your transcription has been copied to clipboard. Press Ctrl+V to paste.\n\n"
                       "Text: ")
            + alertPreview(text),
        {QStringLiteral("Open Settings"), QStringLiteral("OK")},
    };
}

void TextInjector::presentPermissionAlert(const QString &text)
{
    if (!m_alertPresenter)
        return;
    m_alertPresenter->present(permissionAlert(text), [self = QPointer<TextInjector>(this)](int button) {
        if (self && button == 0)
            Q_EMIT self->permissionSettingsRequested();
    });
}

} // namespace voxendo

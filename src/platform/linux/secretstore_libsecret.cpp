// Secret Service (GNOME Keyring, KWallet, KeePassXC) through libsecret.
//
// Why a worker thread: a Secret Service call can wait on the user for as long as an unlock
// prompt is open, and libsecret's synchronous calls then block their thread (over 40 s has been
// seen). Every libsecret call therefore runs on one dedicated thread, in order; the calling
// thread waits for the answer only up to its bound (SecretStoreLimits), so the UI thread
// freezes at most that long. A call whose caller gave up before it started is skipped.
//
// Why the lock checks: a lookup in a locked collection answers "nothing" without an error, which
// would make a stored session or key look deleted. Whenever nothing matched, the default
// collection's lock state decides between "not found" and "locked".

// glib names a struct member `signals`; with QT_NO_KEYWORDS that is harmless, but keep the glib
// headers first anyway.
#include <libsecret/secret.h>

#include "platform/secretstore.h"

#include <QCoreApplication>
#include <QThread>

#include <atomic>
#include <condition_variable>
#include <deque>
#include <functional>
#include <future>
#include <mutex>
#include <thread>

namespace voxendo::platform {
namespace {

const SecretSchema *schema()
{
    // DONT_MATCH_NAME: queries match on our attributes alone, like keychain queries.
    static const SecretSchema s = {
        "com.voxendo.app.Keychain",
        SECRET_SCHEMA_DONT_MATCH_NAME,
        {
            {"service", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"account", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {"accessGroup", SECRET_SCHEMA_ATTRIBUTE_STRING},
            {nullptr, SECRET_SCHEMA_ATTRIBUTE_STRING},
        },
        0, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    };
    return &s;
}

// ---- the keyring thread ------------------------------------------------------------------------

class KeyringThread
{
public:
    static KeyringThread &instance()
    {
        // Never destroyed: a detached thread may still sit in a libsecret call at exit.
        static auto *worker = new KeyringThread;
        return *worker;
    }

    // Runs `job` on the keyring thread; nullopt when it did not finish within `wait`.
    template <typename T>
    std::optional<T> run(std::function<T()> job, std::chrono::milliseconds wait)
    {
        struct Shared
        {
            std::promise<T> promise;
            std::atomic<bool> abandoned{false};
        };
        auto shared = std::make_shared<Shared>();
        std::future<T> future = shared->promise.get_future();
        {
            std::lock_guard lock(m_mutex);
            m_jobs.push_back([shared, job = std::move(job)] {
                if (shared->abandoned.load())
                    return;
                shared->promise.set_value(job());
            });
        }
        m_wake.notify_one();
        if (future.wait_for(wait) != std::future_status::ready) {
            shared->abandoned.store(true);
            // It may have become ready in between; prefer the real answer then.
            if (future.wait_for(std::chrono::milliseconds(0)) != std::future_status::ready)
                return std::nullopt;
        }
        return future.get();
    }

private:
    KeyringThread()
    {
        std::thread([this] { loop(); }).detach();
    }

    void loop()
    {
        for (;;) {
            std::function<void()> job;
            {
                std::unique_lock lock(m_mutex);
                m_wake.wait(lock, [this] { return !m_jobs.empty(); });
                job = std::move(m_jobs.front());
                m_jobs.pop_front();
            }
            job();
        }
    }

    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::deque<std::function<void()>> m_jobs;
};

// ---- libsecret calls (keyring thread only) -----------------------------------------------------

struct GErrorHolder
{
    GError *error = nullptr;
    ~GErrorHolder() { g_clear_error(&error); }
    GError **out() { return &error; }
    QString message() const { return error ? QString::fromUtf8(error->message) : QString(); }
};

Status statusFrom(const GError *error)
{
    const QString detail = QString::fromUtf8(error->message);
    if (error->domain == SECRET_ERROR && error->code == SECRET_ERROR_IS_LOCKED)
        return SecretStatus::make(SecretStatus::locked, detail);
    if (error->domain == G_IO_ERROR) {
        if (error->code == G_IO_ERROR_TIMED_OUT)
            return SecretStatus::make(SecretStatus::timedOut, detail);
        // No bus address, nothing listening, connection closed.
        return SecretStatus::make(SecretStatus::unavailable, detail);
    }
    if (error->domain == G_DBUS_ERROR) {
        switch (error->code) {
        case G_DBUS_ERROR_NO_REPLY:
        case G_DBUS_ERROR_TIMEOUT:
        case G_DBUS_ERROR_TIMED_OUT:
            return SecretStatus::make(SecretStatus::timedOut, detail);
        case G_DBUS_ERROR_SERVICE_UNKNOWN:
        case G_DBUS_ERROR_NAME_HAS_NO_OWNER:
        case G_DBUS_ERROR_NO_SERVER:
        case G_DBUS_ERROR_DISCONNECTED:
        case G_DBUS_ERROR_BAD_ADDRESS:
        case G_DBUS_ERROR_FILE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_EXEC_FAILED:
        case G_DBUS_ERROR_SPAWN_FORK_FAILED:
        case G_DBUS_ERROR_SPAWN_CHILD_EXITED:
        case G_DBUS_ERROR_SPAWN_CHILD_SIGNALED:
        case G_DBUS_ERROR_SPAWN_FAILED:
        case G_DBUS_ERROR_SPAWN_SERVICE_INVALID:
        case G_DBUS_ERROR_SPAWN_SERVICE_NOT_FOUND:
        case G_DBUS_ERROR_SPAWN_PERMISSIONS_INVALID:
        case G_DBUS_ERROR_SPAWN_FILE_INVALID:
        case G_DBUS_ERROR_SPAWN_NO_MEMORY:
            return SecretStatus::make(SecretStatus::unavailable, detail);
        default:
            break;
        }
    }
    return SecretStatus::make(SecretStatus::failed, detail);
}

// GHashTable of the query's attributes; strings are owned by the table.
GHashTable *attributeTable(const SecretAttributes &attributes)
{
    GHashTable *table = g_hash_table_new_full(g_str_hash, g_str_equal, g_free, g_free);
    for (auto it = attributes.cbegin(); it != attributes.cend(); ++it)
        g_hash_table_insert(table, g_strdup(it.key().toUtf8().constData()),
                            g_strdup(it.value().toUtf8().constData()));
    return table;
}

// A query without service and account would match every item of ours; never send one.
bool isValidQuery(const SecretAttributes &attributes)
{
    return !attributes.value(SecretAttribute::service).isEmpty()
        && !attributes.value(SecretAttribute::account).isEmpty();
}

Result<SecretService *> connectService()
{
    GErrorHolder error;
    // The instance is shared and cached by libsecret; the caller unrefs its reference.
    SecretService *service = secret_service_get_sync(SECRET_SERVICE_NONE, nullptr, error.out());
    if (!service)
        return Result<SecretService *>::failure(
            error.error ? statusFrom(error.error) : SecretStatus::make(SecretStatus::unavailable));
    return Result<SecretService *>::success(service);
}

// "Nothing matched": not found, unless the default collection is locked (a locked collection
// hides its items from lookups).
Status nothingMatched(SecretService *service)
{
    GErrorHolder error;
    SecretCollection *collection = secret_collection_for_alias_sync(
        service, "default", SECRET_COLLECTION_NONE, nullptr, error.out());
    if (!collection) {
        // No default collection at all: nothing of ours can exist.
        return error.error ? statusFrom(error.error) : SecretStatus::make(SecretStatus::itemNotFound);
    }
    const bool locked = secret_collection_get_locked(collection);
    g_object_unref(collection);
    return SecretStatus::make(locked ? SecretStatus::locked : SecretStatus::itemNotFound);
}

Status addItem(const SecretAttributes &attributes, const QByteArray &data)
{
    if (!isValidQuery(attributes))
        return SecretStatus::make(SecretStatus::invalidQuery);
    auto connected = connectService();
    if (!connected.ok())
        return connected.status;
    SecretService *service = *connected.value;

    // Text shows as text in keyring managers; anything else is stored as opaque bytes.
    const bool isText = QString::fromUtf8(data).toUtf8() == data;
    SecretValue *value = secret_value_new(data.constData(), data.size(),
                                          isText ? "text/plain" : "application/octet-stream");
    const QByteArray label = QStringLiteral("Voxendo: %1 (%2)")
                                 .arg(attributes.value(SecretAttribute::service),
                                      attributes.value(SecretAttribute::account))
                                 .toUtf8();
    GHashTable *table = attributeTable(attributes);
    GErrorHolder error;
    const gboolean stored = secret_service_store_sync(service, schema(), table, SECRET_COLLECTION_DEFAULT,
                                                      label.constData(), value, nullptr, error.out());
    g_hash_table_unref(table);
    secret_value_unref(value);
    g_object_unref(service);
    if (!stored)
        return error.error ? statusFrom(error.error) : SecretStatus::make(SecretStatus::failed);
    return Status::success();
}

Result<QByteArray> copyItem(const SecretAttributes &query)
{
    using R = Result<QByteArray>;
    if (!isValidQuery(query))
        return R::failure(SecretStatus::make(SecretStatus::invalidQuery));
    auto connected = connectService();
    if (!connected.ok())
        return R::failure(connected.status);
    SecretService *service = *connected.value;

    GHashTable *table = attributeTable(query);
    GErrorHolder error;
    // UNLOCK: a locked item brings up the desktop's unlock prompt, as a keychain would.
    GList *items = secret_service_search_sync(
        service, schema(), table,
        SecretSearchFlags(SECRET_SEARCH_ALL | SECRET_SEARCH_UNLOCK | SECRET_SEARCH_LOAD_SECRETS),
        nullptr, error.out());
    g_hash_table_unref(table);

    R result = R::failure(SecretStatus::make(SecretStatus::itemNotFound));
    if (error.error) {
        result = R::failure(statusFrom(error.error));
    } else {
        bool sawLocked = false;
        bool sawUnreadable = false;
        for (GList *l = items; l; l = l->next) {
            auto *item = static_cast<SecretItem *>(l->data);
            if (secret_item_get_locked(item)) {
                sawLocked = true;
                continue;
            }
            SecretValue *value = secret_item_get_secret(item);
            if (!value) {
                sawUnreadable = true;
                continue;
            }
            gsize length = 0;
            const gchar *bytes = secret_value_get(value, &length);
            result = R::success(QByteArray(bytes, qsizetype(length)));
            secret_value_unref(value);
            break;
        }
        if (!result.ok()) {
            if (sawLocked)
                result = R::failure(SecretStatus::make(SecretStatus::locked));
            else if (sawUnreadable)
                result = R::failure(SecretStatus::make(SecretStatus::failed,
                                                       QStringLiteral("The item's secret could not be read.")));
            else
                result = R::failure(nothingMatched(service));
        }
    }
    g_list_free_full(items, g_object_unref);
    g_object_unref(service);
    return result;
}

Status deleteItems(const SecretAttributes &query)
{
    if (!isValidQuery(query))
        return SecretStatus::make(SecretStatus::invalidQuery);
    auto connected = connectService();
    if (!connected.ok())
        return connected.status;
    SecretService *service = *connected.value;

    GHashTable *table = attributeTable(query);
    GErrorHolder error;
    const gboolean deleted = secret_service_clear_sync(service, schema(), table, nullptr, error.out());
    g_hash_table_unref(table);
    Status status = Status::success();
    if (error.error)
        status = statusFrom(error.error);
    else if (!deleted)
        status = nothingMatched(service);
    g_object_unref(service);
    return status;
}

// ---- the store ---------------------------------------------------------------------------------

class LibsecretSecretStore final : public SecretStore
{
public:
    explicit LibsecretSecretStore(SecretStoreLimits limits)
        : m_limits(limits)
    {
    }

    Status add(const SecretAttributes &attributes, const QByteArray &data) override
    {
        return run<Status>([=] { return addItem(attributes, data); })
            .value_or(timedOut());
    }

    Result<QByteArray> copyMatching(const SecretAttributes &query) override
    {
        return run<Result<QByteArray>>([=] { return copyItem(query); })
            .value_or(Result<QByteArray>::failure(timedOut()));
    }

    Status deleteMatching(const SecretAttributes &query) override
    {
        return run<Status>([=] { return deleteItems(query); })
            .value_or(timedOut());
    }

private:
    template <typename T>
    std::optional<T> run(std::function<T()> job)
    {
        // Before the application object exists only the main thread can be calling.
        const QCoreApplication *app = QCoreApplication::instance();
        const bool onMainThread = !app || QThread::currentThread() == app->thread();
        return KeyringThread::instance().run<T>(std::move(job),
                                                onMainThread ? m_limits.mainThreadWait
                                                             : m_limits.otherThreadWait);
    }

    static Status timedOut()
    {
        return SecretStatus::make(SecretStatus::timedOut,
                                  QStringLiteral("It may be waiting for the keyring to be unlocked."));
    }

    SecretStoreLimits m_limits;
};

} // namespace

std::shared_ptr<SecretStore> createSecretStore(SecretStoreLimits limits)
{
    return std::make_shared<LibsecretSecretStore>(limits);
}

std::shared_ptr<SecretStore> systemSecretStore()
{
    static const std::shared_ptr<SecretStore> store = createSecretStore();
    return store;
}

} // namespace voxendo::platform

#include "devserver/userstore.h"

#include <QCryptographicHash>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRandomGenerator>
#include <QSaveFile>
#include <QUuid>

#include <sys/stat.h>

namespace voxendo::devserver {

namespace {

constexpr int kFormatVersion = 1;
// Spent refresh tokens remembered per session, enough to recognise a replay of any recent one.
constexpr int kUsedTokensKept = 100;

QJsonValue dateValue(const QDateTime &d)
{
    return d.isValid() ? QJsonValue(d.toUTC().toString(Qt::ISODateWithMs)) : QJsonValue();
}

QDateTime dateFrom(const QJsonValue &v)
{
    if (!v.isString())
        return {};
    return QDateTime::fromString(v.toString(), Qt::ISODateWithMs).toUTC();
}

QJsonObject toJson(const UserRecord &u)
{
    return {{"id", u.id},
            {"email", u.email},
            {"password_hash", u.passwordHash},
            {"created_at", dateValue(u.createdAt)},
            {"updated_at", dateValue(u.updatedAt)},
            {"email_confirmed_at", dateValue(u.emailConfirmedAt)},
            {"confirmation_sent_at", dateValue(u.confirmationSentAt)},
            {"last_sign_in_at", dateValue(u.lastSignInAt)},
            {"user_metadata", u.userMetadata}};
}

UserRecord userFrom(const QJsonObject &o)
{
    UserRecord u;
    u.id = o.value("id").toString();
    u.email = o.value("email").toString();
    u.passwordHash = o.value("password_hash").toString();
    u.createdAt = dateFrom(o.value("created_at"));
    u.updatedAt = dateFrom(o.value("updated_at"));
    u.emailConfirmedAt = dateFrom(o.value("email_confirmed_at"));
    u.confirmationSentAt = dateFrom(o.value("confirmation_sent_at"));
    u.lastSignInAt = dateFrom(o.value("last_sign_in_at"));
    u.userMetadata = o.value("user_metadata").toObject();
    return u;
}

QJsonObject toJson(const SessionRecord &s)
{
    QJsonArray used;
    for (const QByteArray &h : s.usedRefreshTokenHashes)
        used.append(QString::fromLatin1(h));
    return {{"id", s.id},
            {"user_id", s.userId},
            {"created_at", dateValue(s.createdAt)},
            {"refreshed_at", dateValue(s.refreshedAt)},
            {"refresh_token_hash", QString::fromLatin1(s.refreshTokenHash)},
            {"used_refresh_token_hashes", used}};
}

SessionRecord sessionFrom(const QJsonObject &o)
{
    SessionRecord s;
    s.id = o.value("id").toString();
    s.userId = o.value("user_id").toString();
    s.createdAt = dateFrom(o.value("created_at"));
    s.refreshedAt = dateFrom(o.value("refreshed_at"));
    s.refreshTokenHash = o.value("refresh_token_hash").toString().toLatin1();
    for (const QJsonValue &v : o.value("used_refresh_token_hashes").toArray())
        s.usedRefreshTokenHashes.append(v.toString().toLatin1());
    return s;
}

} // namespace

UserStore::UserStore(QString filePath)
    : m_path(std::move(filePath))
{
}

UserStore::FileStamp UserStore::stamp() const
{
    struct stat st = {};
    if (::stat(QFile::encodeName(m_path).constData(), &st) != 0)
        return {};
    return {true, st.st_ino, qint64(st.st_mtim.tv_sec) * 1'000'000'000 + st.st_mtim.tv_nsec,
            qint64(st.st_size)};
}

platform::Status UserStore::load()
{
    QFile file(m_path);
    if (!file.exists()) {
        m_users.clear();
        m_sessions.clear();
        m_stamp = {};
        return platform::Status::success();
    }
    const FileStamp before = stamp();
    if (!file.open(QIODevice::ReadOnly))
        return platform::Status::failure(1, QStringLiteral("cannot read %1: %2").arg(m_path, file.errorString()));
    QJsonParseError error;
    const QJsonDocument doc = QJsonDocument::fromJson(file.readAll(), &error);
    if (error.error != QJsonParseError::NoError || !doc.isObject())
        return platform::Status::failure(2, QStringLiteral("%1 is not a valid user file: %2")
                                                .arg(m_path, error.errorString()));
    const QJsonObject root = doc.object();
    if (root.value("version").toInt() != kFormatVersion)
        return platform::Status::failure(3, QStringLiteral("%1 has an unknown format version").arg(m_path));
    QList<UserRecord> users;
    for (const QJsonValue &v : root.value("users").toArray())
        users.append(userFrom(v.toObject()));
    QList<SessionRecord> sessions;
    for (const QJsonValue &v : root.value("sessions").toArray())
        sessions.append(sessionFrom(v.toObject()));
    m_users = std::move(users);
    m_sessions = std::move(sessions);
    m_stamp = before;
    return platform::Status::success();
}

platform::Status UserStore::reloadIfChanged()
{
    if (stamp() == m_stamp)
        return platform::Status::success();
    return load();
}

platform::Status UserStore::save()
{
    QJsonArray users;
    for (const UserRecord &u : m_users)
        users.append(toJson(u));
    QJsonArray sessions;
    for (const SessionRecord &s : m_sessions)
        sessions.append(toJson(s));
    const QJsonObject root{{"version", kFormatVersion}, {"users", users}, {"sessions", sessions}};

    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly))
        return platform::Status::failure(4, QStringLiteral("cannot write %1: %2").arg(m_path, file.errorString()));
    // Password hashes and session digests: owner only, from the first byte written.
    file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    file.write(QJsonDocument(root).toJson(QJsonDocument::Indented));
    if (!file.commit())
        return platform::Status::failure(5, QStringLiteral("cannot write %1: %2").arg(m_path, file.errorString()));
    m_stamp = stamp();
    return platform::Status::success();
}

const UserRecord *UserStore::userById(const QString &id) const
{
    for (const UserRecord &u : m_users) {
        if (u.id == id)
            return &u;
    }
    return nullptr;
}

const UserRecord *UserStore::userByEmail(const QString &email) const
{
    const QString wanted = email.toLower();
    for (const UserRecord &u : m_users) {
        if (u.email == wanted)
            return &u;
    }
    return nullptr;
}

UserRecord *UserStore::mutableUser(const QString &id)
{
    for (UserRecord &u : m_users) {
        if (u.id == id)
            return &u;
    }
    return nullptr;
}

UserRecord &UserStore::addUser(UserRecord user)
{
    m_users.append(std::move(user));
    return m_users.last();
}

QPair<SessionRecord, QByteArray> UserStore::createSession(const QString &userId, const QDateTime &now)
{
    SessionRecord s;
    s.id = QUuid::createUuid().toString(QUuid::WithoutBraces);
    s.userId = userId;
    s.createdAt = now;
    s.refreshedAt = now;
    const QByteArray token = newRefreshToken();
    s.refreshTokenHash = hashRefreshToken(token);
    m_sessions.append(s);
    return {s, token};
}

const SessionRecord *UserStore::session(const QString &id) const
{
    for (const SessionRecord &s : m_sessions) {
        if (s.id == id)
            return &s;
    }
    return nullptr;
}

QPair<UserStore::RefreshState, const SessionRecord *>
UserStore::findRefreshToken(const QByteArray &token) const
{
    const QByteArray hash = hashRefreshToken(token);
    for (const SessionRecord &s : m_sessions) {
        if (s.refreshTokenHash == hash)
            return {RefreshState::Current, &s};
        if (s.usedRefreshTokenHashes.contains(hash))
            return {RefreshState::AlreadyUsed, &s};
    }
    return {RefreshState::Unknown, nullptr};
}

QByteArray UserStore::rotateRefreshToken(const QString &sessionId, const QDateTime &now)
{
    for (SessionRecord &s : m_sessions) {
        if (s.id != sessionId)
            continue;
        s.usedRefreshTokenHashes.append(s.refreshTokenHash);
        while (s.usedRefreshTokenHashes.size() > kUsedTokensKept)
            s.usedRefreshTokenHashes.removeFirst();
        const QByteArray token = newRefreshToken();
        s.refreshTokenHash = hashRefreshToken(token);
        s.refreshedAt = now;
        return token;
    }
    return {};
}

void UserStore::removeSession(const QString &sessionId)
{
    m_sessions.removeIf([&](const SessionRecord &s) { return s.id == sessionId; });
}

int UserStore::removeSessionsOfUser(const QString &userId, const QString &keepSessionId)
{
    return int(m_sessions.removeIf([&](const SessionRecord &s) {
        return s.userId == userId && s.id != keepSessionId;
    }));
}

QByteArray UserStore::hashRefreshToken(const QByteArray &token)
{
    return QCryptographicHash::hash(token, QCryptographicHash::Sha256).toHex();
}

QByteArray UserStore::newRefreshToken()
{
    quint32 words[6];
    QRandomGenerator::system()->fillRange(words);
    return QByteArray(reinterpret_cast<const char *>(words), sizeof words)
        .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
}

} // namespace voxendo::devserver

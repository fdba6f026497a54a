#pragma once

#include "platform/status.h"

#include <QDateTime>
#include <QJsonObject>
#include <QList>
#include <QString>

#include <sys/types.h>

namespace voxendo::devserver {

struct UserRecord
{
    QString id; // UUID
    QString email; // lower case
    QString passwordHash; // PasswordHash encoding; never the password
    QDateTime createdAt;
    QDateTime updatedAt;
    QDateTime emailConfirmedAt; // null while unconfirmed
    QDateTime confirmationSentAt;
    QDateTime lastSignInAt;
    QJsonObject userMetadata;

    bool isConfirmed() const { return emailConfirmedAt.isValid(); }
};

// A signed-in session: it outlives its access tokens and is carried on by refresh tokens, each
// of which is good for one refresh. Only SHA-256 digests of refresh tokens are kept.
struct SessionRecord
{
    QString id; // UUID, the access tokens' session_id claim
    QString userId;
    QDateTime createdAt;
    QDateTime refreshedAt;
    QByteArray refreshTokenHash;            // the one refresh token that may be used next
    QList<QByteArray> usedRefreshTokenHashes; // spent ones, to tell reuse from nonsense
};

// Users and sessions of the auth stand-in, in one JSON file written atomically (QSaveFile) with
// mode 0600. Main thread only. Another process (the `confirm` command) may change the file
// while the server runs: reloadIfChanged() picks that up before each auth request.
class UserStore
{
public:
    explicit UserStore(QString filePath);

    // A missing file is an empty store; an unreadable or corrupt one is an error (never
    // silently replaced: it holds the accounts).
    platform::Status load();
    platform::Status reloadIfChanged();
    platform::Status save();
    QString filePath() const { return m_path; }

    const UserRecord *userById(const QString &id) const;
    const UserRecord *userByEmail(const QString &email) const;
    UserRecord *mutableUser(const QString &id);
    UserRecord &addUser(UserRecord user);

    // Starts a session and returns it with its first refresh token.
    QPair<SessionRecord, QByteArray> createSession(const QString &userId, const QDateTime &now);
    const SessionRecord *session(const QString &id) const;

    enum class RefreshState { Unknown, Current, AlreadyUsed };
    // The session a refresh token belongs to (null when Unknown).
    QPair<RefreshState, const SessionRecord *> findRefreshToken(const QByteArray &token) const;
    // Spends the session's current refresh token and returns its successor.
    QByteArray rotateRefreshToken(const QString &sessionId, const QDateTime &now);

    void removeSession(const QString &sessionId);
    // Removes every session of the user but `keepSessionId`; returns how many went.
    int removeSessionsOfUser(const QString &userId, const QString &keepSessionId = {});

    static QByteArray hashRefreshToken(const QByteArray &token);
    static QByteArray newRefreshToken();

private:
    struct FileStamp
    {
        bool exists = false;
        ino_t inode = 0;
        qint64 mtimeNs = 0;
        qint64 size = 0;
        bool operator==(const FileStamp &) const = default;
    };
    FileStamp stamp() const;

    QString m_path;
    QList<UserRecord> m_users;
    QList<SessionRecord> m_sessions;
    FileStamp m_stamp;
};

} // namespace voxendo::devserver

#include "devserver/versions.h"

#include <QRegularExpression>
#include <QStringList>

namespace voxendo::devserver {

namespace {

QList<qint64> pieces(const QString &v)
{
    QList<qint64> out;
    for (const QString &p : v.split(u'.', Qt::SkipEmptyParts)) {
        // Only an optional sign and digits; QString::toLongLong would also accept spaces.
        static const QRegularExpression integer(QStringLiteral("^[+-]?[0-9]+$"));
        bool ok = integer.match(p).hasMatch();
        const qint64 n = ok ? p.toLongLong(&ok, 10) : 0;
        out.append(ok ? n : 0);
    }
    return out;
}

} // namespace

int compareVersions(const QString &a, const QString &b)
{
    const QList<qint64> pa = pieces(a);
    const QList<qint64> pb = pieces(b);
    for (int i = 0; i < 3; ++i) {
        const qint64 x = pa.value(i, 0);
        const qint64 y = pb.value(i, 0);
        if (x != y)
            return x < y ? -1 : 1;
    }
    return 0;
}

} // namespace voxendo::devserver

#include "expiry.h"

#include <QDateTime>

#include <algorithm>

namespace publish::expiry {

QCommandLineOption option()
{
    return QCommandLineOption(QStringLiteral("expires-in"),
                              QStringLiteral("Sign the release as valid for DAYS days (1 to %1); clients refuse it "
                                             "afterwards, so renew it with resign before then.")
                                  .arg(longestPeriodDays),
                              QStringLiteral("DAYS"));
}

std::optional<qint64> periodOf(const QString &days)
{
    bool ok = false;
    const int count = days.toInt(&ok);
    if (!ok || count < 1 || count > longestPeriodDays || days.trimmed() != days)
        return std::nullopt;
    return qint64(count) * day;
}

QString misuse(const QString &days, bool given)
{
    if (!given || periodOf(days))
        return {};
    return QStringLiteral("--expires-in takes whole days from 1 to %1").arg(longestPeriodDays);
}

QByteArray field(qint64 timestamp, qint64 period)
{
    return "\texpires:" + QByteArray::number(timestamp + period);
}

QString timeText(qint64 seconds)
{
    return QDateTime::fromSecsSinceEpoch(seconds, Qt::UTC).toString(Qt::ISODate);
}

bool isNear(qint64 now, qint64 timestamp, qint64 expires)
{
    return expires - now <= std::min(warningWeek, (expires - timestamp) / 3);
}

} // namespace publish::expiry

#pragma once

#include <QByteArray>
#include <QCommandLineOption>
#include <QString>

#include <optional>

// How long a signature vouches for a release: the "expires:<Unix seconds>"
// field of its trusted comment. Clients refuse a release once that time has
// passed, so a replayed old signature cannot hide a newer release for long;
// the publisher renews it with `resign` before then.
namespace publish::expiry {

inline constexpr qint64 day = 24 * 60 * 60;
// How long before the end `check` warns: a week, or a third of a shorter period.
inline constexpr qint64 warningWeek = 7 * day;
inline constexpr int longestPeriodDays = 3650;

// --expires-in DAYS, as release and resign take it.
QCommandLineOption option();
// The period in seconds that the option's value names: whole days from 1 to
// longestPeriodDays; none for any other text.
std::optional<qint64> periodOf(const QString &days);
// Why the option's value cannot be used; empty when it can or is not given.
QString misuse(const QString &days, bool given);
// "\texpires:<seconds>" for a signature made at `timestamp`.
QByteArray field(qint64 timestamp, qint64 period);
// A Unix time as the publisher reports it: ISO 8601, UTC.
QString timeText(qint64 seconds);
// Whether `now` is within the warning time before `expires`.
bool isNear(qint64 now, qint64 timestamp, qint64 expires);

} // namespace publish::expiry

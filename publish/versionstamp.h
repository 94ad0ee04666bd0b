#pragma once

#include "platform/text/codepage.h"

#include <QByteArray>
#include <QString>

// The stamp: the version a site serves, which clients compare with theirs
// by its value as a number.
namespace publish {

// Refuses a version that is not a plain decimal number ("2", "2.5") by the
// updater's text-to-number rule, is 0, or has the value of `currentStamp`
// (the stamp it replaces; empty when there is none).
void checkVersion(const QString &version, const QByteArray &currentStamp, const platform::CodePage &codePage);

// The stamp: the version text and CRLF.
QByteArray stampText(const QString &version, const platform::CodePage &codePage);

// The local stamp a client compares equal to the site's `stamp` (read from
// `where`): its first line in the code page, CRLF after it. Refused when the
// site has none, or the first line holds no number that is the stamp's value.
QByteArray localStamp(const QByteArray &stamp, const QString &where, const platform::CodePage &codePage);

} // namespace publish

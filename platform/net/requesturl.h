#pragma once

#include "platform/text/codepage.h"

#include <QString>
#include <QUrl>

namespace platform {

// The URL that a request line carries for `url`: the text in the code page's
// bytes, with only what cannot stand on a request line percent-encoded
// (controls, blanks and bytes above 0x7F); everything else goes unchanged.
QUrl requestUrl(const QString &url, const CodePage &codePage);

} // namespace platform

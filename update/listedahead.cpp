#include "listedahead.h"

#include "release/manifestline.h"

#include "platform/core/error.h"
#include "platform/files/textinput.h"
#include "platform/text/codepage.h"

namespace update {

void sendListedAhead(platform::RequestsAhead &ahead, const QString &manifestFile, const Trust &trust,
                     const QString &baseUrl)
{
    // What fails here fails again in its turn, where the run says so.
    try {
        platform::TextInput lines(manifestFile, platform::CodePage::deployment());
        while (!lines.atEnd()) {
            const ManifestEntry entry = splitManifestLine(lines.readLine());
            if (trust.downloadsPlainly(entry))
                ahead.add(baseUrl + entry.sRemotePath, trust.cacheUseOf(entry.sRemotePath));
        }
    } catch (const platform::Error &) {
    }
}

} // namespace update

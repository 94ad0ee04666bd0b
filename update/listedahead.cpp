#include "listedahead.h"

#include "download/partialdownload.h"
#include "release/manifestline.h"
#include "release/sitelayout.h"

#include "platform/core/error.h"
#include "platform/files/textinput.h"
#include "platform/text/codepage.h"

namespace update {

void sendListedAhead(platform::RequestsAhead &ahead, const AppPaths &paths, const Trust &trust,
                     const QString &baseUrl)
{
    const download::PartialEntries cut =
        download::PartialDownload::recorded(paths.workingFile(sitelayout::partialRecord));
    // What fails here fails again in its turn, where the run says so.
    try {
        platform::TextInput lines(paths.file(sitelayout::manifestCopy), platform::CodePage::deployment());
        while (!lines.atEnd()) {
            const ManifestEntry entry = splitManifestLine(lines.readLine());
            if (trust.downloadsPlainly(entry) && !cut.contains(paths.workingFile(entry.sFileName)))
                ahead.add(baseUrl + entry.sRemotePath, trust.cacheUseOf(entry.sRemotePath));
        }
    } catch (const platform::Error &) {
    }
}

} // namespace update

#pragma once

#include "apppaths.h"
#include "trust.h"

#include "platform/net/requestsahead.h"

#include <QString>

namespace update {

// Adds to `ahead` the requests for the listed files of the manifest at
// `manifestFile` that will be downloaded whole as they are, in its order,
// up to the first line that the run will refuse in its turn. A file whose
// download a run before cut short is left to its turn, which asks for its rest.
void sendListedAhead(platform::RequestsAhead &ahead, const AppPaths &paths, const Trust &trust,
                     const QString &baseUrl);

} // namespace update

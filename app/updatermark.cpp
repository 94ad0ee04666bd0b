#include "platform/core/config.h"
#include "release/updatermark.h"

// Read from the program's bytes by `updater-publish client`, never by the
// program itself: kept although nothing refers to it.
[[gnu::used]] constinit const auto updaterMark = release::updatermark::block(config::version, config::publicKey);

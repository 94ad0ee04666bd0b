#pragma once

#include "apppaths.h"
#include "smallfetch.h"

#include "release/keyring.h"

// Whether the release kept in the application folder carries an expiry: a
// signed run then reads the server's signature whatever the stamps say.
// Otherwise a replayed old stamp and signature could keep the client from
// hearing of a newer release for ever.
bool keptReleaseExpires(const release::KeyRing &keys, const AppPaths &paths);
// On a run whose stamps are equal and whose kept release expires: the
// server's current signature, requested as `signature`, must still be
// vouched for. Its trusted comment is proved by an accepted key (its key id
// and the global signature); an expired one raises StaleRelease.
void confirmFreshness(SmallFetch &signature, const release::KeyRing &keys);

#pragma once

#include "smallfetch.h"

#include "release/keyring.h"

namespace update {

// On a run whose stamps are equal and whose kept release carries an expiry:
// the server's current signature, requested as `signature`, must still be
// vouched for. Otherwise a replayed old stamp and signature could keep the
// client from ever hearing of a newer release. Its trusted comment is proved
// by an accepted key (its key id and the global signature); an expired one
// raises StaleRelease.
void confirmFreshness(SmallFetch &signature, const release::KeyRing &keys);

} // namespace update

#pragma once

#include "apppaths.h"
#include "smallfetch.h"

#include "platform/net/httpclient.h"
#include "release/keyring.h"

#include <QString>

#include <optional>

// On a run whose stamps are equal: when the release kept in the application
// folder carries an expiry, the server's current signature must still be
// vouched for. Otherwise a replayed old stamp and signature could keep the
// client from ever hearing of a newer release. The current signature's
// trusted comment is proved by an accepted key (its key id and the global
// signature); an expired one raises StaleRelease. Without an expiry kept
// nothing is fetched.
void confirmFreshness(std::optional<SmallFetch> &signature, platform::HttpClient &client, const QString &baseUrl,
                      const release::KeyRing &keys, const AppPaths &paths);
// Whether the release kept carries an expiry: a signed run then reads the
// server's signature whatever the stamps say.
bool keptReleaseExpires(const release::KeyRing &keys, const AppPaths &paths);

#pragma once

#include "release/minisignkey.h"

#include <QByteArray>
#include <QHash>
#include <QString>
#include <QStringList>

#include <optional>

namespace publish {

class Progress;

// What a client of the site at `baseUrl` would fetch, checked without
// installing anything: every problem found, one line each ("path: rule").
struct SiteCheckResult
{
    // What became of the release's signature.
    enum class Signature {
        None,       // not asked to check one, and the site serves none
        NotChecked, // not asked to check one, but the site serves one
        Checked,    // checked with the key and found good
        Refused,    // asked to check, and it did not verify or did not arrive
    };
    QStringList problems;
    Signature signature = Signature::None;
    QStringList warnings; // what is right now but needs the publisher soon
    // Why the site is between two releases, one line each ("path: reason"):
    // fixed paths of another release than the signature names, as a
    // publication leaves them until its last rename. Clients end at either
    // release whole, or wait; no problem of the site.
    QStringList publishing;
    QString version;
    // A whole tree that the index lists, found good and matching the manifest.
    struct Tree
    {
        qsizetype folders = 0;
        qsizetype links = 0;
        qsizetype executables = 0;
    };
    std::optional<Tree> tree;
    qsizetype files = 0;
    qsizetype smallForms = 0;
    qint64 bytes = 0;
};

// `served` holds what some paths will serve instead of what they serve now
// (the fixed paths of a release about to be put in place), so that a release
// is checked whole before clients are led to it.
SiteCheckResult checkSite(const QString &baseUrl, const std::optional<release::PublicKey> &key, Progress &progress,
                          const QHash<QString, QByteArray> &served = {});

} // namespace publish

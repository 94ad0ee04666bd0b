#pragma once

#include "releasegeneration.h"
#include "signedrelease.h"

#include "release/keyring.h"
#include "release/releasetree.h"

#include <QByteArray>
#include <QDateTime>
#include <QLatin1StringView>

#include <functional>
#include <optional>

namespace update {

// What a signed run trusts, built from the bytes it is given in a fixed
// order: the pair the last installation kept, the server's signature, the
// index it signs, the release's stamp, the manifest's digest; then the
// digests of the listed files. Each piece is verified against what came
// before it, and a piece given out of order is refused (InvalidArgument,
// naming it). It reads no file and asks no server: fetching is the caller's.
class TrustedSet
{
public:
    // Unix seconds, read whenever a signature is checked against the clock.
    using Clock = std::function<qint64()>;

    explicit TrustedSet(release::KeyRing keys, Clock clock = &QDateTime::currentSecsSinceEpoch);

    // The pair that the last signed installation kept: a later release may
    // not be older. A pair that no accepted key verifies can only come from
    // a key the deployment dropped or from someone who can write the folder
    // anyway, and one signed more than a day ahead would hold back every
    // later release: neither is a reference. Whether it is one.
    bool loadKept(const QByteArray &indexText, const QByteArray &signatureText);
    // Whether the kept release carries an expiry: then the server's signature
    // is wanted whatever the stamps say.
    bool keptExpires() const;
    // The tree kept beside that pair: it counts only if the kept index
    // lists the tree with its digest. Whether it counts.
    bool loadKeptTree(const QByteArray &text);
    // Whether the kept index lists a tree.
    bool keptListsTree() const;
    // On a run whose stamps are equal, the server's current signature: it
    // must still be vouched for, or a replayed old stamp and signature could
    // keep the client from ever hearing of a newer release. Its trusted
    // comment is proved by an accepted key; an expired one, one signed before
    // the kept one, or one of the kept time without an expiry raises StaleRelease.
    void confirmFresh(const QByteArray &signatureText) const;

    // The server's signature, whose trusted comment an accepted key proves:
    // the release folder that it names is the publisher's word.
    const ReleaseGeneration &updateSignature(QByteArray signatureText);
    // The index of that generation, checked in full against the signature.
    // A release signed before the kept one, or another one signed at its
    // time, raises OlderRelease (the same one again is harmless), one whose
    // expiry has passed ExpiredRelease.
    void updateIndex(QByteArray indexText);
    // The release's stamp, as the index lists it. At the fixed paths of a
    // site signed by hand, a stamp listed with another digest is of another
    // generation: BeingPublished.
    void updateStamp(QByteArray stamp);
    // The digest of the manifest that was downloaded: DigestMismatch unless listed so.
    void updateManifest(const QByteArray &sha256);
    // From the index on: whether it lists a tree, which declares that the
    // manifest lists the whole tree.
    bool listsTree() const;
    // The tree that the index lists: DigestMismatch unless listed so,
    // MalformedTree when it breaks its rules.
    void updateTree(const QByteArray &text);
    // The manifest's local names: MalformedTree, naming the first path that
    // is in one and not the other, unless they are the tree's files.
    void checkTreeMatches(const QStringList &localNames) const;

    // From the signature on.
    const ReleaseGeneration &generation() const;
    // From the stamp on.
    const QByteArray &stamp() const;
    // From the manifest on: the release against which every file is checked.
    const SignedRelease &release() const;
    // The new release's tree and the kept one, where they count.
    const release::ReleaseTree *tree() const { return m_tree ? &*m_tree : nullptr; }
    const release::ReleaseTree *keptTree() const { return m_keptTree ? &*m_keptTree : nullptr; }
    // The new tree's text as it came, for the next run to keep.
    const QByteArray &treeText() const { return m_treeText; }

private:
    enum class Step { Start, Signature, Index, Stamp, Manifest };

    // InvalidArgument, naming what was given, unless the steps before it were taken.
    static void inOrder(bool taken, QLatin1StringView given);

    release::KeyRing m_keys;
    Clock m_clock;
    Step m_step = Step::Start;
    std::optional<SignedRelease> m_kept;
    QByteArray m_signatureText;
    ReleaseGeneration m_generation;
    std::optional<SignedRelease> m_release;
    QByteArray m_stamp;
    std::optional<release::ReleaseTree> m_keptTree, m_tree;
    QByteArray m_treeText;
};

} // namespace update

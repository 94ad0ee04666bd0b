#pragma once

#include <QByteArray>
#include <QLatin1StringView>
#include <QString>

namespace release {
class Signature;
}

namespace update {

// Which generation of a signed site a run reads. A signature whose trusted
// comment names "index:<SHA-256 of the index>" leads to that release's own
// folder, whose files never change: whatever mix of generations a cache holds
// at the fixed paths, the run reads one whole release. A site signed by hand
// names none; the run reads the fixed paths.
class ReleaseGeneration
{
public:
    // From a signature whose trusted comment is verified; MalformedSignature
    // for an index field that is no SHA-256 (64 lower-case hex digits).
    static ReleaseGeneration of(const release::Signature &signature);

    bool isNamed() const { return !m_indexDigest.isEmpty(); }
    // Where a fixed path (index, manifest or stamp) is read: its copy in the
    // release's folder, or the fixed path itself.
    QString sourceOf(QLatin1StringView fixedPath) const;
    // DigestMismatch, naming the copy, unless the index is the one named.
    void checkIndex(const QByteArray &indexText) const;
    // A copy that the signature names and the server answers with 404 is not
    // there yet (a cache or a publication half-way): BeingPublished.
    void requireFound(QLatin1StringView fixedPath, int httpStatus) const;

private:
    QByteArray m_indexDigest; // empty: the fixed paths
};

} // namespace update

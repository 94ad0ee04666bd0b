#pragma once

#include <QByteArray>
#include <QLatin1StringView>
#include <QStringList>

#include <cstdint>

// Where everything of a release lives, on the server and in the client's
// folder, and how large each piece may be. The updater, the publisher and the
// installation all read them from here, so they cannot drift apart.
namespace sitelayout {

// Paths under the server's base URL.
inline constexpr QLatin1StringView stampPath{"KVTA/ZE/UpdateNote.xml"};
inline constexpr QLatin1StringView manifestPath{"KVTA/ZE/LoadUpdate.inf"};
inline constexpr QLatin1StringView indexPath{"KVTA/ZE/LoadUpdate.sha256"};
inline constexpr QLatin1StringView signaturePath{"KVTA/ZE/LoadUpdate.sha256.minisig"};
// A signed release's whole tree: its folders, files with their modes and
// links (release::ReleaseTree). An index that lists it declares that the
// manifest lists the whole tree; an index without it declares nothing.
inline constexpr QLatin1StringView treePath{"KVTA/ZE/LoadUpdate.tree"};
// The folder of the release tree that the publisher owns.
inline constexpr QLatin1StringView releaseFolder{"KVTA/ZE"};
// Where a file with this SHA-256 (64 lower-case hex digits) is stored:
// "KVTA/ZE/files/<2 hex>/<64 hex>".
inline QByteArray storedFile(const QByteArray &digest)
{
    return "KVTA/ZE/files/" + digest.left(2) + '/' + digest;
}
// A signed release's small files also stand under names that never change,
// in the folder named by the SHA-256 of its index (64 lower-case hex digits):
// "KVTA/ZE/releases/<index digest>/<name>", where name is the last component
// of indexPath, manifestPath, stampPath or treePath. A cache holding any generation of
// the fixed paths still leads a signed client to one whole release.
inline constexpr QLatin1StringView releasesFolder{"KVTA/ZE/releases"};
inline QByteArray releaseFile(const QByteArray &indexDigest, QLatin1StringView name)
{
    return releasesFolder.latin1() + QByteArray("/") + indexDigest + '/' + name.latin1();
}
// The copy of a fixed path (indexPath, manifestPath, stampPath or treePath) in that folder.
inline QByteArray releaseCopy(const QByteArray &indexDigest, QLatin1StringView fixedPath)
{
    return releaseFile(indexDigest, fixedPath.sliced(fixedPath.lastIndexOf(QLatin1Char('/')) + 1));
}
// Smaller forms of a stored file that a signed index may offer: the file
// compressed by zstd, "KVTA/ZE/zst/<digest>.zst", and a zstd patch that
// rebuilds it from the file whose SHA-256 is `from`, "KVTA/ZE/zst/<from>-<digest>.zst".
inline constexpr QLatin1StringView compressedFolder{"KVTA/ZE/zst"};
inline QByteArray compressedForm(const QByteArray &digest)
{
    return compressedFolder.latin1() + QByteArray("/") + digest + ".zst";
}
inline QByteArray patchForm(const QByteArray &from, const QByteArray &digest)
{
    return compressedFolder.latin1() + QByteArray("/") + from + '-' + digest + ".zst";
}

// Names in the application folder.
inline constexpr QLatin1StringView localStamp{"Update.inf"};
inline constexpr QLatin1StringView manifestCopy{"LoadUpdate.inf"};
inline constexpr QLatin1StringView workingFolder{"Update"};
// The stamp as it is downloaded into the working folder.
inline constexpr QLatin1StringView stampDownload{"UpdateNote.xml"};
// A smaller form of a listed file as it is downloaded into the working
// folder, before the file is rebuilt from it.
inline constexpr QLatin1StringView formDownload{"UpdateForm.zst"};
// The index and signature of the last signed release installed.
inline constexpr QLatin1StringView keptIndex{"LoadUpdate.sha256"};
inline constexpr QLatin1StringView keptSignature{"LoadUpdate.sha256.minisig"};
// The tree of that release, when its index lists one.
inline constexpr QLatin1StringView keptTree{"LoadUpdate.tree"};
// The run log for support, and the one older part that it is rotated into.
inline constexpr QLatin1StringView runLog{"Update.log"};
inline constexpr QLatin1StringView olderRunLog{"Update.log.1"};

// What the installation puts beside a target while it replaces it is its
// own: platform::filesystem::Replacement's staging names.

// What the publisher writes beside a site file before renaming it over:
// ".NAME.publishing-<random>".
inline constexpr QLatin1StringView publishingInfix{".publishing-"};

// The updater's own files and its working folder, which no release file may
// replace.
inline QStringList ownNames()
{
    return {localStamp,    manifestCopy, stampDownload, formDownload, keptIndex,
            keptSignature, keptTree,     workingFolder, runLog,       olderRunLog};
}

// Size limits, in bytes.
inline constexpr std::int64_t largestManifest = 8 * 1024 * 1024;
// A listed file must be smaller: the engine counts bytes in 32 bits.
inline constexpr std::int64_t fileSizeLimit = std::int64_t(1) << 31;
// A manifest within its limit lists at most some 89,000 files (94 bytes a
// line at the least); their index lines, 148 bytes each, stay well below this.
inline constexpr std::int64_t largestIndex = 16 * 1024 * 1024;
inline constexpr std::int64_t largestSignature = 1024 * 1024;
// Twice the manifest's: a file's tree line is shorter than its manifest
// line, and each folder has a line of its own.
inline constexpr std::int64_t largestTree = 16 * 1024 * 1024;
inline constexpr std::int64_t largestStamp = 64 * 1024;
inline constexpr std::int64_t largestRunLog = 256 * 1024;

} // namespace sitelayout

#include "commandline.h"

#include "versionstamp.h"
#include "platform/core/error.h"
#include "platform/files/durablewrite.h"
#include "platform/files/paths.h"
#include "platform/files/textinput.h"
#include "platform/text/codepage.h"
#include "release/keyring.h"
#include "release/minisignature.h"
#include "release/minisignformat.h"
#include "release/releaseindex.h"
#include "release/sha256.h"
#include "release/sitelayout.h"
#include "release/updatermark.h"

#include <QDir>
#include <QFileInfo>
#include <QTemporaryDir>

#include <filesystem>
#include <system_error>

#include <sys/stat.h>

using platform::Error;

namespace publish {

namespace {

// What a client folder is made of, read from the site before anything is
// written.
struct ClientFiles
{
    QByteArray updater;
    QString updaterName;
    QByteArray localStamp;
    // The site's index and signature, kept as a signed client keeps the
    // release it installed last; empty for an unsigned site.
    QByteArray index;
    QByteArray signature;
    // The release's tree, where its index lists one: the first update then
    // removes what the installed release had and the next one drops.
    QByteArray tree;
};

QString sitePath(const QString &site, QLatin1StringView relativePath)
{
    return site + QLatin1Char('/') + QString(relativePath);
}

QByteArray siteFile(const QString &site, QLatin1StringView relativePath, qint64 limit)
{
    const QString path = sitePath(site, relativePath);
    if (!QFileInfo::exists(path))
        return {};
    return platform::readFileBytes(path, limit);
}

// A signed site's index must stand for the stamp that the folder records:
// otherwise a publication is half done or the site was edited by hand.
void checkSignedPair(const QString &site, const ClientFiles &files, const QByteArray &stamp)
{
    if (files.index.isEmpty() != files.signature.isEmpty())
        throw Error(Error::Code::FileNotFound,
                    sitePath(site, files.index.isEmpty() ? sitelayout::indexPath : sitelayout::signaturePath),
                    QStringLiteral("the site serves half a signed release (an index without a signature or the "
                                   "other way round)"));
    if (files.index.isEmpty())
        return;
    const QString indexPath = sitePath(site, sitelayout::indexPath);
    release::Sha256 sha;
    sha.addData(stamp);
    release::ReleaseIndex::parse(files.index, indexPath).checkDigest(sitelayout::stampPath.latin1(), sha.hexResult());
}

// The site's tree, as its signed index lists it; none when it lists none.
QByteArray releaseTree(const QString &site, const QByteArray &index)
{
    if (index.isEmpty())
        return {};
    const QString indexPath = sitePath(site, sitelayout::indexPath);
    const release::ReleaseIndex parsed = release::ReleaseIndex::parse(index, indexPath);
    if (!parsed.digestOf(sitelayout::treePath.latin1()))
        return {};
    const QString treePath = sitePath(site, sitelayout::treePath);
    if (!QFileInfo::exists(treePath))
        throw Error(Error::Code::FileNotFound, treePath,
                    QStringLiteral("the site's index lists the release's tree, which is missing"));
    const QByteArray tree = platform::readFileBytes(treePath, sitelayout::largestTree);
    parsed.checkDigest(sitelayout::treePath.latin1(), release::Sha256::hexOf(tree));
    return tree;
}

QString keyIds(const release::KeyRing &keys)
{
    QStringList ids;
    for (const release::PublicKey &key : keys.keys())
        ids << QString::fromLatin1(release::minisign::keyIdHex(key.keyId()));
    return ids.join(QStringLiteral(", "));
}

// A folder whose updater cannot take the site's releases would never
// update: the updater must be this project's, built for the site's mode and
// signing key, as its build mark says.
void checkUpdaterFitsSite(const ClientFiles &files, const QString &updaterOption, const QString &site)
{
    const std::optional<release::updatermark::Mark> mark = release::updatermark::find(files.updater);
    if (!mark)
        throw Error(Error::Code::InvalidArgument, updaterOption,
                    QStringLiteral("not the updater program (it carries no updater build mark); give the updater "
                                   "as built, build/app/updater"));
    const bool signedSite = !files.index.isEmpty();
    if (mark->keys.isEmpty() != !signedSite)
        throw Error(Error::Code::InvalidArgument, updaterOption,
                    signedSite ? QStringLiteral("an unsigned updater (built without UPDATER_PUBLIC_KEY) on a signed "
                                                "site; build it with the site's public key")
                               : QStringLiteral("a signed updater (built with UPDATER_PUBLIC_KEY) on an unsigned "
                                                "site, whose releases it refuses; build it without a key or "
                                                "publish signed releases"));
    if (!signedSite)
        return;
    const release::KeyRing keys = release::KeyRing::fromText(mark->keys, updaterOption);
    const QString signaturePath = sitePath(site, sitelayout::signaturePath);
    const release::Signature signature = release::Signature::parse(files.signature, signaturePath);
    try {
        keys.verify(files.index, signature, signaturePath);
    } catch (const Error &error) {
        if (error.code() != Error::Code::WrongKey)
            throw;
        throw Error(Error::Code::WrongKey, updaterOption,
                    QStringLiteral("built with key %1, but the site is signed with key %2; build the updater "
                                   "with the site's public key")
                        .arg(keyIds(keys), QString::fromLatin1(release::minisign::keyIdHex(signature.keyId()))));
    }
}

ClientFiles readClientFiles(const QString &siteOption, const QString &updaterOption)
{
    const QString site = commandline::siteRoot(siteOption);
    // The execute bits are asked, not the OS: root may run any file.
    const QFileInfo updater(updaterOption);
    if (updater.isSymLink())
        throw Error(Error::Code::InvalidArgument, updaterOption,
                    QStringLiteral("is a symbolic link; give the updater program file itself"));
    constexpr QFile::Permissions executable = QFile::ExeOwner | QFile::ExeGroup | QFile::ExeOther;
    if (!updater.isFile() || !(updater.permissions() & executable))
        throw Error(Error::Code::InvalidArgument, updaterOption,
                    QStringLiteral("not an executable file; give the updater program that was built for this site"));

    ClientFiles files;
    files.updaterName = updater.fileName();
    files.updater = platform::readFileBytes(updater.absoluteFilePath(), sitelayout::fileSizeLimit);
    const QByteArray stamp = siteFile(site, sitelayout::stampPath, sitelayout::largestStamp);
    files.localStamp = localStamp(stamp, sitePath(site, sitelayout::stampPath), platform::CodePage::deployment());
    files.index = siteFile(site, sitelayout::indexPath, sitelayout::largestIndex);
    files.signature = siteFile(site, sitelayout::signaturePath, sitelayout::largestSignature);
    checkSignedPair(site, files, stamp);
    files.tree = releaseTree(site, files.index);
    checkUpdaterFitsSite(files, updaterOption, site);
    return files;
}

void writeFile(const QString &folder, const QString &name, const QByteArray &bytes, mode_t mode)
{
    const std::filesystem::path target = platform::paths::toPath(folder + QLatin1Char('/') + name);
    platform::DurableFile file(platform::paths::hiddenBeside(target, QStringLiteral(".new")), target, mode);
    file.write(bytes);
    file.renameOver();
}

// A folder on another file system than its parent's, or the root.
bool isMountPoint(const QString &folder)
{
    struct stat own {};
    struct stat parent {};
    const std::filesystem::path path = platform::paths::toPath(folder);
    return ::stat(path.c_str(), &own) == 0 && ::stat(path.parent_path().c_str(), &parent) == 0
           && (own.st_dev != parent.st_dev || own.st_ino == parent.st_ino);
}

// The folder is built beside `out` and renamed into its place whole: an
// installer never picks up half a folder.
void makeClientFolder(const ClientFiles &files, const QString &outOption)
{
    const QString out = QDir(outOption).absolutePath();
    const QFileInfo outInfo(out);
    if (outInfo.exists() && (!outInfo.isDir() || outInfo.isSymLink()))
        throw Error(Error::Code::InvalidArgument, outOption, QStringLiteral("exists and is not a folder"));
    if (outInfo.exists() && isMountPoint(out))
        throw Error(Error::Code::InvalidArgument, outOption,
                    QStringLiteral("is a mount point, which the finished folder cannot be renamed over; give a new "
                                   "folder inside it"));
    if (outInfo.exists() && !QDir(out).isEmpty(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot))
        throw Error(Error::Code::InvalidArgument, outOption,
                    QStringLiteral("is not empty; give a new or an empty folder"));
    if (!QFileInfo(outInfo.absolutePath()).isDir())
        throw Error(Error::Code::PathNotFound, outOption, QStringLiteral("its parent folder does not exist"));

    QTemporaryDir building(platform::paths::toQString(platform::paths::hiddenBeside(
        platform::paths::toPath(out), QString(sitelayout::publishingInfix) + QStringLiteral("XXXXXX"))));
    if (!building.isValid())
        throw Error(Error::Code::FileAccess, outOption, QStringLiteral("cannot create a folder beside it"));
    const QString folder = building.path();
    QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
                                      | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther);
    writeFile(folder, files.updaterName, files.updater, 0755);
    if (!files.index.isEmpty()) {
        writeFile(folder, sitelayout::keptIndex, files.index, 0644);
        writeFile(folder, sitelayout::keptSignature, files.signature, 0644);
    }
    if (!files.tree.isEmpty())
        writeFile(folder, sitelayout::keptTree, files.tree, 0644);
    writeFile(folder, sitelayout::localStamp, files.localStamp, 0644);
    if (!QDir(folder).mkdir(sitelayout::workingFolder))
        throw Error(Error::Code::FileAccess, folder + QLatin1Char('/') + QString(sitelayout::workingFolder),
                    QStringLiteral("cannot create the working folder"));

    // rename(2) takes the place of an empty folder, and of nothing else.
    std::error_code failure;
    std::filesystem::rename(platform::paths::toPath(folder), platform::paths::toPath(out), failure);
    if (failure)
        throw Error::fromErrno(failure.value(), out);
    building.setAutoRemove(false);
}

} // namespace

int runClient(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(QStringLiteral(
        "Makes the folder that a client's installer ships: the updater program, Update.inf holding the stamp "
        "that the site serves now (so the fresh installation counts as up to date), the empty working folder "
        "Update/ and, for a signed site, the release index and signature (and the release's tree, where the index "
        "lists one) that the installation starts from. "
        "The folder appears whole or not at all."));
    const QCommandLineOption site =
        commandline::siteOption(QStringLiteral("Server tree that the updater's base URL serves."));
    const QCommandLineOption updater(QStringLiteral("updater"),
                                     QStringLiteral("The updater program built for this site."),
                                     QStringLiteral("PATH"));
    const QCommandLineOption out(QStringLiteral("out"), QStringLiteral("The client folder to make: new or empty."),
                                 QStringLiteral("DIR"));
    parser.addOptions({site, updater, out});
    if (const auto done = commandline::parse(parser, arguments, 0))
        return *done;
    if (!parser.isSet(site) || !parser.isSet(updater) || !parser.isSet(out))
        return commandline::usageError(parser, QStringLiteral("--site, --updater and --out are required"));

    const ClientFiles files = readClientFiles(parser.value(site), parser.value(updater));
    makeClientFolder(files, parser.value(out));
    QStringList made{files.updaterName,
                     QStringLiteral("%1 (stamp %2)")
                         .arg(QString(sitelayout::localStamp),
                              platform::CodePage::deployment().decode(files.localStamp).trimmed()),
                     QString(sitelayout::workingFolder) + QLatin1Char('/')};
    if (!files.index.isEmpty())
        made << QString(sitelayout::keptIndex) << QString(sitelayout::keptSignature);
    if (!files.tree.isEmpty())
        made << QString(sitelayout::keptTree);
    commandline::printOut(QStringLiteral("Made %1: %2").arg(parser.value(out), made.join(QStringLiteral(", "))));
    return commandline::Success;
}

} // namespace publish

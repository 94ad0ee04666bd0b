#include "commandline.h"

#include "password.h"
#include "platform/core/error.h"
#include "platform/files/durablewrite.h"
#include "platform/files/paths.h"
#include "release/minisignformat.h"
#include "release/minisignkey.h"

#include <QCoreApplication>
#include <QFile>
#include <QFileInfo>

#include <filesystem>
#include <string>
#include <sys/types.h>

using platform::Error;

namespace publish {

namespace {

// Writes a new key file; never replaces one. The file appears under its name
// only once it is whole.
void writeNewFile(const QString &path, const QByteArray &bytes, mode_t mode)
{
    const std::filesystem::path target = platform::paths::toPath(path);
    platform::DurableFile file(target.native() + ".new-" + std::to_string(QCoreApplication::applicationPid()),
                               target, mode);
    file.write(bytes);
    if (!file.linkAsNew())
        throw Error(Error::Code::FileAccess, path, QStringLiteral("exists already; key files are never overwritten"));
}

} // namespace

int runKeygen(const QStringList &arguments)
{
    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Makes a new Ed25519 key pair in minisign's file formats and prints the public key line "
                       "to build the updater with (-DUPDATER_PUBLIC_KEY=...)."));
    const QCommandLineOption publicKey(QStringLiteral("public-key"), QStringLiteral("Public key file to write."),
                                       QStringLiteral("FILE"));
    const QCommandLineOption secretKey(QStringLiteral("secret-key"), QStringLiteral("Secret key file to write."),
                                       QStringLiteral("FILE"));
    parser.addOptions({publicKey, secretKey});
    const PasswordOptions password(
        parser, QStringLiteral("Encrypt the secret key (scrypt, as minisign) with the first line of FILE; without "
                               "a password the key is written unencrypted, as minisign -W."));
    if (const auto done = commandline::parse(parser, arguments, 0))
        return *done;
    if (!parser.isSet(publicKey) || !parser.isSet(secretKey))
        return commandline::usageError(parser, QStringLiteral("--public-key and --secret-key are required"));
    const QString publicPath = parser.value(publicKey);
    const QString secretPath = parser.value(secretKey);
    if (QFileInfo(publicPath).absoluteFilePath() == QFileInfo(secretPath).absoluteFilePath())
        return commandline::usageError(parser, QStringLiteral("--public-key and --secret-key name the same file"));
    if (const QString misuse = password.misuse(parser); !misuse.isEmpty())
        return commandline::usageError(parser, misuse);

    for (const QString &path : {publicPath, secretPath}) {
        if (QFileInfo::exists(path))
            throw Error(Error::Code::FileAccess, path, QStringLiteral("exists already; key files are never overwritten"));
    }
    const QByteArray passphrase = password.password(parser);
    const release::SecretKey key = release::SecretKey::generate();
    const QByteArray secretText = key.toFileText(passphrase);
    writeNewFile(secretPath, secretText, 0600);
    try {
        writeNewFile(publicPath, key.publicKey().toFileText(), 0644);
    } catch (...) {
        QFile::remove(secretPath);
        throw;
    }
    commandline::printError(QStringLiteral("Wrote %1 and %2 (key id %3%4). Build the updater with:")
                                .arg(secretPath, publicPath,
                                     QString::fromLatin1(release::minisign::keyIdHex(key.keyId())),
                                     passphrase.isEmpty() ? QStringLiteral(", secret key not encrypted")
                                                        : QStringLiteral(", secret key encrypted")));
    commandline::printOut(QString::fromLatin1(key.publicKey().toBase64()));
    return commandline::Success;
}

} // namespace publish

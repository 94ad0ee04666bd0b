#include "minisignkey.h"

#include "crypto.h"
#include "minisignature.h"
#include "minisignformat.h"
#include "pwhash.h"
#include "platform/core/error.h"

#include <QFile>
#include <QList>
#include <QtEndian>

namespace release {

namespace {

using platform::Error;

constexpr qsizetype publicKeySize = 2 + minisign::keyIdSize + crypto::ed25519PublicKeySize;

// The secret key file's bytes: algorithm "Ed", kdf ("Sc" or "\0\0"), checksum
// algorithm "B2", kdf salt (32), opslimit and memlimit (little-endian 64-bit),
// then the (possibly encrypted) key id (8), key (64: seed || public key) and
// checksum (32).
constexpr qsizetype saltOffset = 6;
constexpr qsizetype saltSize = 32;
constexpr qsizetype opsLimitOffset = saltOffset + saltSize;
constexpr qsizetype memLimitOffset = opsLimitOffset + 8;
constexpr qsizetype keyOffset = memLimitOffset + 8;
constexpr qsizetype keyIdAndKeySize = minisign::keyIdSize + 64;
constexpr qsizetype checksumSize = 32;
constexpr qsizetype encryptedSize = keyIdAndKeySize + checksumSize;
constexpr qsizetype secretKeySize = keyOffset + encryptedSize;

constexpr char kdfScrypt[] = "Sc";
constexpr QByteArrayView kdfNone("\0\0", 2);
constexpr char checksumAlgorithm[] = "B2";
constexpr char secretKeyComment[] = "minisign encrypted secret key";

QByteArray readFile(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw Error(file.exists() ? Error::Code::PermissionDenied : Error::Code::FileNotFound, path);
    // Key files are a few hundred bytes; anything larger is not one.
    const QByteArray text = file.read(64 * 1024);
    if (!file.atEnd())
        throw Error(Error::Code::MalformedKey, path);
    return text;
}

// The base64 line of a key file: its second line, after an untrusted comment.
QByteArray keyLine(const QByteArray &text, const QString &source)
{
    const QList<QByteArray> lines = minisign::splitLines(text);
    if (lines.size() != 2 || !lines[0].startsWith(minisign::untrustedPrefix))
        throw Error(Error::Code::MalformedKey, source);
    return lines[1];
}

QByteArray checksum(const QByteArray &keyIdAndKey)
{
    return crypto::blake2b256(minisign::keyAlgorithm + keyIdAndKey);
}

QByteArray xorBytes(QByteArray data, const QByteArray &stream)
{
    for (qsizetype i = 0; i < data.size(); ++i)
        data[i] = char(data[i] ^ stream[i]);
    return data;
}

// The key file's bytes, of the one size a secret key has, with the algorithms
// that minisign writes.
QByteArray secretKeyBytes(const QByteArray &text, const QString &source)
{
    std::optional<QByteArray> bytes = minisign::decodeBase64(keyLine(text, source), secretKeySize);
    if (!bytes || bytes->size() != secretKeySize || !bytes->startsWith(minisign::keyAlgorithm)
        || bytes->mid(4, 2) != checksumAlgorithm)
        throw Error(Error::Code::MalformedKey, source);
    const QByteArray kdf = bytes->mid(2, 2);
    if (kdf != kdfScrypt && kdf != kdfNone)
        throw Error(Error::Code::UnsupportedAlgorithm, source);
    return *std::move(bytes);
}

bool usesScrypt(const QByteArray &secretKeyBytes)
{
    return secretKeyBytes.mid(2, 2) == kdfScrypt;
}

quint64 readLittleEndian64(const QByteArray &bytes, qsizetype offset)
{
    // Byte by byte over what is there, so that no read can pass the end.
    quint64 value = 0;
    int shift = 0;
    for (const char byte : bytes.mid(offset, 8)) {
        value |= quint64(static_cast<unsigned char>(byte)) << shift;
        shift += 8;
    }
    return value;
}

QByteArray littleEndian64(quint64 value)
{
    QByteArray bytes(sizeof value, Qt::Uninitialized);
    qToLittleEndian(value, bytes.data());
    return bytes;
}

} // namespace

PublicKey::PublicKey(QByteArray keyId, QByteArray key) : m_keyId(std::move(keyId)), m_key(std::move(key)) {}

PublicKey PublicKey::fromBase64(QByteArrayView line, const QString &source)
{
    const auto bytes = minisign::decodeBase64(line, publicKeySize);
    if (!bytes)
        throw Error(Error::Code::MalformedKey, source);
    if (!bytes->startsWith(minisign::keyAlgorithm))
        throw Error(Error::Code::UnsupportedAlgorithm, source);
    return PublicKey(bytes->mid(2, minisign::keyIdSize), bytes->mid(2 + minisign::keyIdSize));
}

PublicKey PublicKey::fromFileText(const QByteArray &text, const QString &source)
{
    return fromBase64(keyLine(text, source), source);
}

PublicKey PublicKey::fromFile(const QString &path)
{
    return fromFileText(readFile(path), path);
}

QByteArray PublicKey::toBase64() const
{
    return (minisign::keyAlgorithm + m_keyId + m_key).toBase64();
}

QByteArray PublicKey::toFileText() const
{
    return minisign::untrustedPrefix + QByteArray("minisign public key ") + minisign::keyIdHex(m_keyId) + '\n'
        + toBase64() + '\n';
}

void PublicKey::verify(const QByteArray &message, const Signature &signature, const QString &source) const
{
    if (signature.keyId() != m_keyId)
        throw Error(Error::Code::WrongKey, source);
    if (!crypto::ed25519Verify(m_key, signature.signedData(message), signature.signature()))
        throw Error(Error::Code::BadSignature, source);
    verifyComment(signature, source);
}

void PublicKey::verifyComment(const Signature &signature, const QString &source) const
{
    if (signature.keyId() != m_keyId)
        throw Error(Error::Code::WrongKey, source);
    if (!crypto::ed25519Verify(m_key, signature.globallySignedData(), signature.globalSignature()))
        throw Error(Error::Code::BadCommentSignature, source);
}

SecretKey::SecretKey(QByteArray keyId, QByteArray seed) : m_keyId(std::move(keyId)), m_seed(std::move(seed)) {}

SecretKey SecretKey::generate()
{
    return SecretKey(crypto::randomBytes(minisign::keyIdSize), crypto::randomBytes(crypto::ed25519SeedSize));
}

bool SecretKey::isEncrypted(const QByteArray &text, const QString &source)
{
    return usesScrypt(secretKeyBytes(text, source));
}

SecretKey SecretKey::fromFileText(const QByteArray &text, const QByteArray &password, const QString &source)
{
    const QByteArray bytes = secretKeyBytes(text, source);
    const bool encrypted = usesScrypt(bytes);
    QByteArray secret = bytes.mid(keyOffset);
    if (encrypted) {
        if (password.isEmpty())
            throw Error(Error::Code::PasswordRequired, source);
        const quint64 opsLimit = readLittleEndian64(bytes, opsLimitOffset);
        const quint64 memLimit = readLittleEndian64(bytes, memLimitOffset);
        if (!pwhash::isAffordable(pwhash::parametersFor(opsLimit, memLimit)))
            throw Error(Error::Code::MalformedKey, source);
        secret = xorBytes(secret, pwhash::derive(password, bytes.mid(saltOffset, saltSize), opsLimit, memLimit,
                                                 encryptedSize));
        if (checksum(secret.left(keyIdAndKeySize)) != secret.mid(keyIdAndKeySize))
            throw Error(Error::Code::WrongPassword, source);
    }
    // The key holds its own public half; a key whose halves disagree would
    // sign what its public key never verifies.
    SecretKey key(secret.left(minisign::keyIdSize),
                  secret.mid(minisign::keyIdSize, crypto::ed25519SeedSize));
    if (crypto::ed25519PublicKey(key.m_seed) != secret.mid(minisign::keyIdSize + crypto::ed25519SeedSize, 32))
        throw Error(Error::Code::MalformedKey, source);
    return key;
}

SecretKey SecretKey::fromFile(const QString &path, const QByteArray &password)
{
    return fromFileText(readFile(path), password, path);
}

QByteArray SecretKey::toFileText(const QByteArray &password) const
{
    const QByteArray keyIdAndKey = m_keyId + m_seed + crypto::ed25519PublicKey(m_seed);
    QByteArray bytes = minisign::keyAlgorithm;
    if (password.isEmpty()) {
        // As `minisign -W`: no kdf, zero salt, limits and checksum.
        bytes += kdfNone.toByteArray() + checksumAlgorithm + QByteArray(saltSize + 16, '\0') + keyIdAndKey
            + QByteArray(checksumSize, '\0');
    } else {
        const QByteArray salt = crypto::randomBytes(saltSize);
        const QByteArray stream = pwhash::derive(password, salt, pwhash::sensitiveOpsLimit,
                                                 pwhash::sensitiveMemLimit, encryptedSize);
        bytes += kdfScrypt + QByteArray(checksumAlgorithm) + salt + littleEndian64(pwhash::sensitiveOpsLimit)
            + littleEndian64(pwhash::sensitiveMemLimit) + xorBytes(keyIdAndKey + checksum(keyIdAndKey), stream);
    }
    return minisign::untrustedPrefix + QByteArray(secretKeyComment) + '\n' + bytes.toBase64() + '\n';
}

PublicKey SecretKey::publicKey() const
{
    return PublicKey(m_keyId, crypto::ed25519PublicKey(m_seed));
}

Signature SecretKey::sign(const QByteArray &message, const QByteArray &trustedComment,
                          const QByteArray &untrustedComment) const
{
    if (trustedComment.contains('\n') || trustedComment.contains('\r') || untrustedComment.contains('\n')
        || untrustedComment.contains('\r'))
        throw Error(Error::Code::InvalidArgument, QString::fromUtf8(trustedComment));
    const QByteArray signature = crypto::ed25519Sign(m_seed, crypto::blake2b512(message));
    const QByteArray global = crypto::ed25519Sign(m_seed, signature + trustedComment);
    return Signature(Signature::Algorithm::Prehashed, m_keyId, signature, trustedComment, global,
                     untrustedComment);
}

} // namespace release

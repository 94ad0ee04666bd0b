#pragma once

#include <QByteArray>
#include <QString>

namespace release {

class Signature;

// A minisign public key: the algorithm "Ed", an 8-byte key id and the
// 32-byte Ed25519 key. Its text is one base64 line, as the second line of a
// ".pub" file and as UPDATER_PUBLIC_KEY.
class PublicKey
{
public:
    // From the base64 line; MalformedKey (subject `source`) when it is not
    // canonical base64 of 42 bytes, UnsupportedAlgorithm when the algorithm is
    // not "Ed".
    static PublicKey fromBase64(QByteArrayView line, const QString &source);
    // From the text of a ".pub" file: an "untrusted comment: " line, then the
    // base64 line.
    static PublicKey fromFileText(const QByteArray &text, const QString &source);
    // From a ".pub" file on disk; file errors raise as usual.
    static PublicKey fromFile(const QString &path);

    const QByteArray &keyId() const { return m_keyId; }
    const QByteArray &key() const { return m_key; }

    QByteArray toBase64() const;
    // The ".pub" file as minisign writes it.
    QByteArray toFileText() const;

    // Checks `signature` of `message`: the key id, the signature of the
    // message ("ED": of its BLAKE2b-512; "Ed": of the message itself) and the
    // global signature over the signature and the trusted comment. Raises
    // WrongKey, BadSignature or BadCommentSignature, naming `source`.
    void verify(const QByteArray &message, const Signature &signature, const QString &source) const;
    // Checks the key id and the global signature only: the trusted comment
    // is the publisher's, whatever the message. Raises WrongKey or
    // BadCommentSignature, naming `source`.
    void verifyComment(const Signature &signature, const QString &source) const;

private:
    friend class SecretKey;
    PublicKey(QByteArray keyId, QByteArray key);

    QByteArray m_keyId;
    QByteArray m_key;
};

// A minisign secret key. The file holds it unencrypted (kdf "\0\0", as
// `minisign -W` writes it) or encrypted with a password (kdf "Sc": scrypt as
// libsodium's crypto_pwhash_scryptsalsa208sha256, XORed over key id, key and
// checksum; the checksum is BLAKE2b-256 of "Ed", key id and key).
class SecretKey
{
public:
    // A new key pair with a random key id.
    static SecretKey generate();

    // From the text of a key file. An encrypted key needs `password`
    // (PasswordRequired when it is empty, WrongPassword when it does not
    // decrypt); a malformed file raises MalformedKey naming `source`.
    static SecretKey fromFileText(const QByteArray &text, const QByteArray &password, const QString &source);
    static SecretKey fromFile(const QString &path, const QByteArray &password);
    // Whether the key file text is encrypted (MalformedKey when it is no key).
    static bool isEncrypted(const QByteArray &text, const QString &source);

    // The file text; encrypted with minisign's default cost when `password`
    // is not empty.
    QByteArray toFileText(const QByteArray &password) const;

    PublicKey publicKey() const;
    const QByteArray &keyId() const { return m_keyId; }

    // A prehashed ("ED") signature of `message` with the given comments
    // (single lines).
    Signature sign(const QByteArray &message, const QByteArray &trustedComment,
                   const QByteArray &untrustedComment = "signature from minisign secret key") const;

private:
    SecretKey(QByteArray keyId, QByteArray seed);

    QByteArray m_keyId;
    QByteArray m_seed; // 32 bytes; the public half is derived from it
};

} // namespace release

#pragma once

#include <QByteArray>
#include <QByteArrayView>

// The primitives that signed releases need, from OpenSSL's libcrypto. Each
// raises CryptoFailure when the library cannot do its part (no memory, an
// algorithm missing from the provider).
namespace release::crypto {

inline constexpr qsizetype ed25519SeedSize = 32;
inline constexpr qsizetype ed25519PublicKeySize = 32;
inline constexpr qsizetype ed25519SignatureSize = 64;

// Whether `signature` (64 bytes) is a valid Ed25519 signature of `message`
// by the 32-byte public key `publicKey`.
bool ed25519Verify(QByteArrayView publicKey, QByteArrayView message, QByteArrayView signature);

// The 64-byte Ed25519 signature of `message` by the key made from the 32-byte `seed`.
QByteArray ed25519Sign(QByteArrayView seed, QByteArrayView message);

// The 32-byte public key that belongs to `seed`.
QByteArray ed25519PublicKey(QByteArrayView seed);

// Unkeyed BLAKE2b with a 64-byte digest.
QByteArray blake2b512(QByteArrayView data);

// Unkeyed BLAKE2b with a 32-byte digest.
QByteArray blake2b256(QByteArrayView data);

// `size` bytes from the cryptographically secure generator.
QByteArray randomBytes(qsizetype size);

// scrypt (RFC 7914) with N = 2^nLog2.
QByteArray scrypt(QByteArrayView password, QByteArrayView salt, int nLog2, quint32 r, quint32 p,
                  qsizetype size);

} // namespace release::crypto

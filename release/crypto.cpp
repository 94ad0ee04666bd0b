#include "crypto.h"

#include "platform/core/error.h"

#include <QCryptographicHash>

#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

#include <memory>

namespace release::crypto {

namespace {

struct Free
{
    void operator()(EVP_MD_CTX *p) const { EVP_MD_CTX_free(p); }
    void operator()(EVP_PKEY *p) const { EVP_PKEY_free(p); }
    void operator()(EVP_MD *p) const { EVP_MD_free(p); }
    void operator()(EVP_KDF *p) const { EVP_KDF_free(p); }
    void operator()(EVP_KDF_CTX *p) const { EVP_KDF_CTX_free(p); }
};
template<typename T>
using Owned = std::unique_ptr<T, Free>;

[[noreturn]] void fail(const char *what)
{
    throw platform::Error(platform::Error::Code::CryptoFailure, QString::fromLatin1(what));
}

template<typename T>
Owned<T> check(T *p, const char *what)
{
    if (!p)
        fail(what);
    return Owned<T>(p);
}

const unsigned char *bytes(QByteArrayView view)
{
    return reinterpret_cast<const unsigned char *>(view.data());
}

Owned<EVP_PKEY> privateKey(QByteArrayView seed)
{
    if (seed.size() != ed25519SeedSize)
        fail("Ed25519 seed");
    return check(EVP_PKEY_new_raw_private_key(EVP_PKEY_ED25519, nullptr, bytes(seed), size_t(seed.size())),
                 "Ed25519 key");
}

} // namespace

bool ed25519Verify(QByteArrayView publicKey, QByteArrayView message, QByteArrayView signature)
{
    if (publicKey.size() != ed25519PublicKeySize || signature.size() != ed25519SignatureSize)
        return false;
    const Owned<EVP_PKEY> key(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, bytes(publicKey),
                                                          size_t(publicKey.size())));
    if (!key)
        return false; // not a point on the curve
    const auto ctx = check(EVP_MD_CTX_new(), "EVP_MD_CTX_new");
    if (EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        fail("EVP_DigestVerifyInit");
    return EVP_DigestVerify(ctx.get(), bytes(signature), size_t(signature.size()), bytes(message),
                            size_t(message.size()))
        == 1;
}

QByteArray ed25519Sign(QByteArrayView seed, QByteArrayView message)
{
    const auto key = privateKey(seed);
    const auto ctx = check(EVP_MD_CTX_new(), "EVP_MD_CTX_new");
    if (EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key.get()) != 1)
        fail("EVP_DigestSignInit");
    QByteArray signature(ed25519SignatureSize, Qt::Uninitialized);
    size_t size = size_t(signature.size());
    if (EVP_DigestSign(ctx.get(), reinterpret_cast<unsigned char *>(signature.data()), &size,
                       bytes(message), size_t(message.size()))
            != 1
        || size != size_t(ed25519SignatureSize))
        fail("EVP_DigestSign");
    return signature;
}

QByteArray ed25519PublicKey(QByteArrayView seed)
{
    const auto key = privateKey(seed);
    QByteArray publicKey(ed25519PublicKeySize, Qt::Uninitialized);
    size_t size = size_t(publicKey.size());
    if (EVP_PKEY_get_raw_public_key(key.get(), reinterpret_cast<unsigned char *>(publicKey.data()), &size) != 1
        || size != size_t(ed25519PublicKeySize))
        fail("EVP_PKEY_get_raw_public_key");
    return publicKey;
}

QByteArray blake2b512(QByteArrayView data)
{
    const auto md = check(EVP_MD_fetch(nullptr, "BLAKE2B-512", nullptr), "BLAKE2B-512");
    QByteArray digest(EVP_MD_get_size(md.get()), Qt::Uninitialized);
    unsigned int size = 0;
    if (EVP_Digest(data.data(), size_t(data.size()), reinterpret_cast<unsigned char *>(digest.data()), &size,
                   md.get(), nullptr)
        != 1)
        fail("BLAKE2B-512");
    return digest;
}

QByteArray blake2b256(QByteArrayView data)
{
    // OpenSSL 3.0 offers BLAKE2b with a 64-byte digest only, and a shorter
    // digest is not a truncation of it; Qt Core carries the reference code.
    return QCryptographicHash::hash(data, QCryptographicHash::Blake2b_256);
}

QByteArray randomBytes(qsizetype size)
{
    QByteArray random(size, Qt::Uninitialized);
    if (RAND_bytes(reinterpret_cast<unsigned char *>(random.data()), int(size)) != 1)
        fail("RAND_bytes");
    return random;
}

QByteArray scrypt(QByteArrayView password, QByteArrayView salt, int nLog2, quint32 r, quint32 p,
                  qsizetype size)
{
    const auto kdf = check(EVP_KDF_fetch(nullptr, "SCRYPT", nullptr), "SCRYPT");
    const auto ctx = check(EVP_KDF_CTX_new(kdf.get()), "EVP_KDF_CTX_new");
    uint64_t n = uint64_t(1) << nLog2;
    // The working memory of scrypt (128 r N for V, 128 r p for B) with room to spare.
    uint64_t maxMemory = 128ull * r * (n + p) + (1ull << 20);
    const OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_PASSWORD, const_cast<char *>(password.data()),
                                          size_t(password.size())),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, const_cast<char *>(salt.data()),
                                          size_t(salt.size())),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_N, &n),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_R, &r),
        OSSL_PARAM_construct_uint32(OSSL_KDF_PARAM_SCRYPT_P, &p),
        OSSL_PARAM_construct_uint64(OSSL_KDF_PARAM_SCRYPT_MAXMEM, &maxMemory),
        OSSL_PARAM_construct_end(),
    };
    QByteArray key(size, Qt::Uninitialized);
    if (EVP_KDF_derive(ctx.get(), reinterpret_cast<unsigned char *>(key.data()), size_t(size), params) != 1)
        fail("SCRYPT");
    return key;
}

} // namespace release::crypto

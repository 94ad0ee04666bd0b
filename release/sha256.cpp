#include "sha256.h"

#include "platform/core/error.h"

#include <QFile>

#include <openssl/evp.h>

namespace release {

namespace {

[[noreturn]] void fail(const char *what)
{
    throw platform::Error(platform::Error::Code::CryptoFailure, QString::fromLatin1(what));
}

} // namespace

void Sha256::Free::operator()(evp_md_ctx_st *ctx) const
{
    EVP_MD_CTX_free(ctx);
}

void Sha256::Free::operator()(evp_md_st *md) const
{
    EVP_MD_free(md);
}

Sha256::Sha256()
    : m_md(EVP_MD_fetch(nullptr, "SHA256", nullptr)), m_ctx(EVP_MD_CTX_new())
{
    if (!m_md || !m_ctx)
        fail("SHA256");
    restart();
}

Sha256::~Sha256() = default;

void Sha256::restart()
{
    if (EVP_DigestInit_ex2(m_ctx.get(), m_md.get(), nullptr) != 1)
        fail("EVP_DigestInit_ex2");
}

void Sha256::addData(QByteArrayView block)
{
    if (EVP_DigestUpdate(m_ctx.get(), block.data(), size_t(block.size())) != 1)
        fail("EVP_DigestUpdate");
}

QByteArray Sha256::result()
{
    QByteArray digest(32, Qt::Uninitialized);
    unsigned int size = 0;
    if (EVP_DigestFinal_ex(m_ctx.get(), reinterpret_cast<unsigned char *>(digest.data()), &size) != 1)
        fail("EVP_DigestFinal_ex");
    restart();
    return digest;
}

QByteArray Sha256::hexResult()
{
    return result().toHex();
}

QByteArray Sha256::hexOf(QByteArrayView bytes)
{
    Sha256 sha;
    sha.addData(bytes);
    return sha.hexResult();
}

QByteArray Sha256::hexOfFile(const QString &path, const std::function<void(qint64)> &progress)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        throw platform::Error(file.exists() ? platform::Error::Code::PermissionDenied
                                            : platform::Error::Code::FileNotFound,
                              path);
    return hexOfDevice(file, path, progress);
}

QByteArray Sha256::hexOfDevice(QIODevice &device, const QString &name, const std::function<void(qint64)> &progress)
{
    Sha256 sha;
    QByteArray buffer(1 << 20, Qt::Uninitialized);
    qint64 total = 0;
    for (;;) {
        const qint64 read = device.read(buffer.data(), buffer.size());
        if (read < 0)
            throw platform::Error(platform::Error::Code::FileAccess, name, device.errorString());
        if (read == 0)
            break;
        sha.addData(QByteArrayView(buffer.constData(), read));
        total += read;
        if (progress)
            progress(total);
    }
    return sha.hexResult();
}

} // namespace release

#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

class QIODevice;

#include <functional>
#include <memory>

struct evp_md_ctx_st;
struct evp_md_st;

namespace release {

// SHA-256 fed block by block, as a download is written. One digest context
// serves every block and, after result(), the next stream.
class Sha256
{
public:
    Sha256();
    ~Sha256();
    Sha256(const Sha256 &) = delete;
    Sha256 &operator=(const Sha256 &) = delete;

    void addData(QByteArrayView block);
    // The 32-byte digest of everything added since the last result; starts
    // the next stream.
    QByteArray result();
    // The digest as 64 lowercase hex digits; starts the next stream.
    QByteArray hexResult();
    // Drops whatever was added since the last result: the next stream starts.
    void restart();

    // The hex digest of bytes in memory.
    static QByteArray hexOf(QByteArrayView bytes);
    // The hex digest of a whole file, read in large blocks; `progress` (if
    // set) hears the bytes read so far. File errors raise platform::Error.
    static QByteArray hexOfFile(const QString &path, const std::function<void(qint64)> &progress = {});
    // The same for an open device, read to its end; `name` names it in errors.
    static QByteArray hexOfDevice(QIODevice &device, const QString &name,
                                  const std::function<void(qint64)> &progress = {});

private:
    struct Free
    {
        void operator()(evp_md_ctx_st *ctx) const;
        void operator()(evp_md_st *md) const;
    };
    std::unique_ptr<evp_md_st, Free> m_md;
    std::unique_ptr<evp_md_ctx_st, Free> m_ctx;
};

} // namespace release

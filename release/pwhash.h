#pragma once

#include <QByteArray>
#include <QByteArrayView>

// Password hashing as minisign asks libsodium for it
// (crypto_pwhash_scryptsalsa208sha256): scrypt, with the cost given as an
// operations limit and a memory limit, which libsodium turns into N, r, p.
namespace release::pwhash {

struct ScryptParameters
{
    int nLog2 = 0;
    quint32 r = 0;
    quint32 p = 0;
};

// The limits minisign writes into a new encrypted key ("sensitive": N = 2^20,
// r = 8, p = 1, 1 GiB of memory).
inline constexpr quint64 sensitiveOpsLimit = 33554432;
inline constexpr quint64 sensitiveMemLimit = 1073741824;

// libsodium's choice of N, r, p for the two limits.
ScryptParameters parametersFor(quint64 opsLimit, quint64 memLimit);

// Whether deriving with these parameters stays within what minisign itself
// asks for (at most 1 GiB and N p <= 2^20 * 8), so that a hostile key file
// cannot make us spend hours or all memory.
bool isAffordable(const ScryptParameters &parameters);

// `size` bytes derived from `password` and `salt`.
QByteArray derive(QByteArrayView password, QByteArrayView salt, quint64 opsLimit, quint64 memLimit,
                  qsizetype size);

} // namespace release::pwhash

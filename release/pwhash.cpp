#include "pwhash.h"

#include "crypto.h"

namespace release::pwhash {

namespace {

// The smallest N_log2 whose 2^N_log2 exceeds half of maxN.
int nLog2Above(quint64 maxN)
{
    int nLog2 = 1;
    while (nLog2 < 63 && (quint64(1) << nLog2) <= maxN / 2)
        ++nLog2;
    return nLog2;
}

} // namespace

ScryptParameters parametersFor(quint64 opsLimit, quint64 memLimit)
{
    opsLimit = std::max<quint64>(opsLimit, 32768);
    ScryptParameters parameters;
    parameters.r = 8;
    if (opsLimit < memLimit / 32) {
        parameters.p = 1;
        parameters.nLog2 = nLog2Above(opsLimit / (parameters.r * 4));
    } else {
        parameters.nLog2 = nLog2Above(memLimit / (parameters.r * 128));
        const quint64 maxRp = std::min<quint64>((opsLimit / 4) / (quint64(1) << parameters.nLog2), 0x3fffffff);
        parameters.p = quint32(maxRp) / parameters.r;
    }
    return parameters;
}

bool isAffordable(const ScryptParameters &parameters)
{
    return parameters.r == 8 && parameters.p >= 1 && parameters.nLog2 >= 1 && parameters.nLog2 <= 20
        && (quint64(parameters.p) << parameters.nLog2) <= (quint64(8) << 20);
}

QByteArray derive(QByteArrayView password, QByteArrayView salt, quint64 opsLimit, quint64 memLimit,
                  qsizetype size)
{
    const ScryptParameters parameters = parametersFor(opsLimit, memLimit);
    return crypto::scrypt(password, salt, parameters.nLog2, parameters.r, parameters.p, size);
}

} // namespace release::pwhash

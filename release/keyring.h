#pragma once

#include "minisignkey.h"

#include <QByteArrayView>
#include <QList>
#include <QString>

namespace release {

class Signature;

// The publisher keys that a build accepts: one, or several while the
// publisher moves from one key to the next. A signature names its key by
// key id; the ring verifies it with that key.
class KeyRing
{
public:
    // One key (a build that accepts only it).
    KeyRing(PublicKey key);
    explicit KeyRing(QList<PublicKey> keys);
    // From base64 key lines separated by ';' (as UPDATER_PUBLIC_KEY);
    // MalformedKey naming `source` for an empty line, otherwise as
    // PublicKey::fromBase64.
    static KeyRing fromText(QByteArrayView text, const QString &source);

    const QList<PublicKey> &keys() const { return m_keys; }

    // As PublicKey::verify with the key whose id the signature names;
    // WrongKey when the ring has no such key.
    void verify(const QByteArray &message, const Signature &signature, const QString &source) const;
    // As PublicKey::verifyComment with the key the signature names.
    void verifyComment(const Signature &signature, const QString &source) const;

private:
    const PublicKey &signer(const Signature &signature, const QString &source) const;

    QList<PublicKey> m_keys;
};

} // namespace release

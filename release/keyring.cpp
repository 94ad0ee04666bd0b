#include "keyring.h"

#include "minisignature.h"

#include "platform/core/error.h"

#include <algorithm>

namespace release {

KeyRing::KeyRing(PublicKey key) : m_keys{std::move(key)} {}

KeyRing::KeyRing(QList<PublicKey> keys) : m_keys(std::move(keys)) {}

KeyRing KeyRing::fromText(QByteArrayView text, const QString &source)
{
    QList<PublicKey> keys;
    for (const QByteArrayView line : text.toByteArray().split(';')) {
        if (line.isEmpty())
            throw platform::Error(platform::Error::Code::MalformedKey, source);
        keys.append(PublicKey::fromBase64(line, source));
    }
    return KeyRing(std::move(keys));
}

const PublicKey &KeyRing::signer(const Signature &signature, const QString &source) const
{
    const auto key = std::find_if(m_keys.cbegin(), m_keys.cend(),
                                  [&](const PublicKey &candidate) { return candidate.keyId() == signature.keyId(); });
    if (key == m_keys.cend())
        throw platform::Error(platform::Error::Code::WrongKey, source);
    return *key;
}

void KeyRing::verify(const QByteArray &message, const Signature &signature, const QString &source) const
{
    signer(signature, source).verify(message, signature, source);
}

void KeyRing::verifyComment(const Signature &signature, const QString &source) const
{
    signer(signature, source).verifyComment(signature, source);
}

} // namespace release

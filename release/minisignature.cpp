#include "minisignature.h"

#include "crypto.h"
#include "minisignformat.h"
#include "platform/core/error.h"

#include <QList>

#include <algorithm>

namespace release {

namespace {

constexpr qsizetype signatureLineSize = 2 + minisign::keyIdSize + crypto::ed25519SignatureSize;

[[noreturn]] void malformed(const QString &source, int line)
{
    throw platform::Error(platform::Error::Code::MalformedSignature, source + QLatin1Char(':') + QString::number(line));
}

QByteArray commentText(const QByteArray &line, QByteArrayView prefix, const QString &source, int lineNumber)
{
    if (!line.startsWith(prefix))
        malformed(source, lineNumber);
    return line.mid(prefix.size());
}

qint64 secondsOf(const QByteArray &value, const QString &source)
{
    const bool digitsOnly = std::all_of(value.cbegin(), value.cend(), [](char c) { return c >= '0' && c <= '9'; });
    bool fits = false;
    const qint64 seconds = value.toLongLong(&fits);
    if (!digitsOnly || !fits) // an empty value does not fit either
        throw platform::Error(platform::Error::Code::MalformedTimestamp, source);
    return seconds;
}

} // namespace

Signature::Signature(Algorithm algorithm, QByteArray keyId, QByteArray signature, QByteArray trustedComment,
                     QByteArray globalSignature, QByteArray untrustedComment)
    : m_algorithm(algorithm), m_keyId(std::move(keyId)), m_signature(std::move(signature)),
      m_trustedComment(std::move(trustedComment)), m_globalSignature(std::move(globalSignature)),
      m_untrustedComment(std::move(untrustedComment))
{
}

Signature Signature::parse(const QByteArray &text, const QString &source)
{
    if (text.size() > maxTextSize)
        throw platform::Error(platform::Error::Code::TooLarge, source);
    const QList<QByteArray> lines = minisign::splitLines(text);
    if (lines.size() != 4)
        malformed(source, int(std::min<qsizetype>(lines.size() + 1, 5)));

    QByteArray untrusted = commentText(lines[0], minisign::untrustedPrefix, source, 1);
    const auto signatureLine = minisign::decodeBase64(lines[1], signatureLineSize);
    if (!signatureLine)
        malformed(source, 2);
    QByteArray trusted = commentText(lines[2], minisign::trustedPrefix, source, 3);
    const auto global = minisign::decodeBase64(lines[3], crypto::ed25519SignatureSize);
    if (!global)
        malformed(source, 4);

    const QByteArray algorithmName = signatureLine->left(2);
    Algorithm algorithm;
    if (algorithmName == "ED")
        algorithm = Algorithm::Prehashed;
    else if (algorithmName == "Ed")
        algorithm = Algorithm::Legacy;
    else
        throw platform::Error(platform::Error::Code::UnsupportedAlgorithm, source);

    return Signature(algorithm, signatureLine->mid(2, minisign::keyIdSize),
                     signatureLine->mid(2 + minisign::keyIdSize), std::move(trusted), *global,
                     std::move(untrusted));
}

QByteArray Signature::signedData(const QByteArray &message) const
{
    return m_algorithm == Algorithm::Prehashed ? crypto::blake2b512(message) : message;
}

std::optional<std::pair<qsizetype, qsizetype>> Signature::fieldSpan(const QByteArray &comment, QByteArrayView name)
{
    const QByteArray key = name.toByteArray() + ':';
    const auto isBlank = [](char c) { return c == ' ' || c == '\t'; };
    for (qsizetype at = comment.indexOf(key); at >= 0; at = comment.indexOf(key, at + 1)) {
        if (at > 0 && !isBlank(comment[at - 1]))
            continue;
        const qsizetype start = at + key.size();
        qsizetype end = start;
        while (end < comment.size() && !isBlank(comment[end]))
            ++end;
        return std::pair{start, end};
    }
    return std::nullopt;
}

std::optional<QByteArray> Signature::commentField(QByteArrayView name) const
{
    const auto span = fieldSpan(m_trustedComment, name);
    if (!span)
        return std::nullopt;
    return m_trustedComment.mid(span->first, span->second - span->first);
}

qint64 Signature::timestamp(const QString &source) const
{
    const std::optional<QByteArray> value = commentField("timestamp");
    if (!value)
        throw platform::Error(platform::Error::Code::MissingTimestamp, source);
    return secondsOf(*value, source);
}

std::optional<qint64> Signature::expiry(const QString &source) const
{
    const std::optional<QByteArray> value = commentField("expires");
    if (!value)
        return std::nullopt;
    return secondsOf(*value, source);
}

bool Signature::expiredAt(qint64 now, const QString &source) const
{
    const std::optional<qint64> expires = expiry(source);
    return expires && now >= *expires;
}

qint64 Signature::acceptedTimestamp(qint64 now, const QString &source) const
{
    const qint64 seconds = timestamp(source);
    if (seconds - now > allowedAhead)
        throw platform::Error(platform::Error::Code::FutureTimestamp, source);
    return seconds;
}

QByteArray Signature::toText() const
{
    const QByteArray algorithmName = m_algorithm == Algorithm::Prehashed ? "ED" : "Ed";
    return minisign::untrustedPrefix + m_untrustedComment + '\n'
        + (algorithmName + m_keyId + m_signature).toBase64() + '\n' + minisign::trustedPrefix
        + m_trustedComment + '\n' + m_globalSignature.toBase64() + '\n';
}

} // namespace release

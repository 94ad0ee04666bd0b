#pragma once

#include "release/sitelayout.h"

#include <QByteArray>
#include <QString>

#include <optional>

namespace release {

// A minisign signature file (".minisig"), four lines:
//   untrusted comment: <text>
//   base64(algorithm "ED" or "Ed" || key id (8) || Ed25519 signature (64))
//   trusted comment: <text>
//   base64(global signature (64) over signature || trusted comment text)
class Signature
{
public:
    enum class Algorithm {
        Legacy,    // "Ed": the message itself is signed
        Prehashed, // "ED": its BLAKE2b-512 is signed
    };

    static constexpr qsizetype maxTextSize = sitelayout::largestSignature;

    // Parses the file text; MalformedSignature (subject "source:line") for a
    // line out of form or bad base64, UnsupportedAlgorithm for another
    // algorithm, TooLarge beyond maxTextSize.
    static Signature parse(const QByteArray &text, const QString &source);

    Signature(Algorithm algorithm, QByteArray keyId, QByteArray signature, QByteArray trustedComment,
              QByteArray globalSignature, QByteArray untrustedComment);

    Algorithm algorithm() const { return m_algorithm; }
    const QByteArray &keyId() const { return m_keyId; }
    const QByteArray &signature() const { return m_signature; }
    const QByteArray &trustedComment() const { return m_trustedComment; }
    const QByteArray &untrustedComment() const { return m_untrustedComment; }
    const QByteArray &globalSignature() const { return m_globalSignature; }

    // What the message signature covers: the message, or its BLAKE2b-512.
    QByteArray signedData(const QByteArray &message) const;
    // What the global signature covers.
    QByteArray globallySignedData() const { return m_signature + m_trustedComment; }

    // How far a signed time may lie ahead of the clock that checks it: clocks
    // disagree a little, but a release signed far ahead would make every later
    // one look older.
    static constexpr qint64 allowedAhead = 24 * 60 * 60;

    // The value of "<name>:<value>" in the trusted comment (at its start or
    // after a blank, up to the next blank), if the comment has that field.
    std::optional<QByteArray> commentField(QByteArrayView name) const;
    // Where that value stands in `comment`: its first byte and the one after it.
    static std::optional<std::pair<qsizetype, qsizetype>> fieldSpan(const QByteArray &comment, QByteArrayView name);

    // The Unix time of the "timestamp" field; MissingTimestamp naming
    // `source` when there is none, MalformedTimestamp when its value is not
    // decimal digits or does not fit.
    qint64 timestamp(const QString &source) const;
    // The timestamp as a client takes it at `now` (Unix seconds):
    // FutureTimestamp when it lies more than allowedAhead after `now`.
    qint64 acceptedTimestamp(qint64 now, const QString &source) const;
    // The Unix time of the "expires" field, if there is one (MalformedTimestamp
    // as for the timestamp): the publisher vouches for the release until then.
    std::optional<qint64> expiry(const QString &source) const;
    // Whether the signature carries an expiry that `now` has reached.
    bool expiredAt(qint64 now, const QString &source) const;

    // The file text, LF line ends.
    QByteArray toText() const;

private:
    Algorithm m_algorithm;
    QByteArray m_keyId;
    QByteArray m_signature;
    QByteArray m_trustedComment;
    QByteArray m_globalSignature;
    QByteArray m_untrustedComment;
};

} // namespace release

#pragma once

#include <QString>

#include <exception>

namespace platform {

// The one error type of the system. Its description is what the user reads
// in the run's failure message.
class Error : public std::exception
{
public:
    enum class Code {
        FileNotFound,
        PathNotFound,
        PermissionDenied,
        FileAccess,
        DiskFull,
        InvalidArgument,
        TypeMismatch,
        Overflow,
        NetworkFailure,
        HttpStatus,
        Timeout,
        // Signed releases.
        TooLarge,
        MalformedIndex,
        MalformedSignature,
        MalformedKey,
        UnsupportedAlgorithm,
        WrongKey,
        BadSignature,
        BadCommentSignature,
        MissingTimestamp,
        MalformedTimestamp,
        FutureTimestamp,
        OlderRelease,
        NotInIndex,
        DigestMismatch,
        BeingPublished, // a piece that a verified signature names is not on the server yet
        PasswordRequired,
        WrongPassword,
        CryptoFailure,
        // Transfers.
        Certificate,
        BadResponse,
    };

    Error(Code code, QString subject = {}, QString detail = {});

    Code code() const { return m_code; }
    const QString &subject() const { return m_subject; }
    const QString &detail() const { return m_detail; }
    QString description() const;
    const char *what() const noexcept override { return m_what.constData(); }

    // The error that an errno value from a file operation stands for.
    static Error fromErrno(int errnum, const QString &path);

private:
    Code m_code;
    QString m_subject;
    QString m_detail;
    QByteArray m_what;
};

} // namespace platform

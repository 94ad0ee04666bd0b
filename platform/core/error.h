#pragma once

#include <QObject>
#include <QString>

#include <exception>

namespace platform {

// The one error type of the system: a code, what it names and its cause.
// Its words are the reader's: the updater's and the publisher's tables,
// each keyed by code.
class Error : public std::exception
{
    Q_GADGET

public:
    enum class Code {
        FileNotFound,
        PathNotFound,
        PermissionDenied,
        FileAccess,
        DiskFull,
        FolderNotWritable, // this user cannot create and remove files in a folder the run replaces files in
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
        ExpiredRelease,
        StaleRelease,
        NotInIndex,
        DigestMismatch,
        BrokenFrame,
        BeingPublished, // a piece that a verified signature names is not on the server yet
        PasswordRequired,
        WrongPassword,
        CryptoFailure,
        // Transfers.
        Certificate,
        BadResponse,
        ConnectionBroken,
        TooSlow, // bytes kept arriving, too few to finish within the time limit
        // Files again, added last so that every code keeps its number.
        LinkedFolder, // a folder on the way to a listed file is a link or no folder: nothing is written through it
        MalformedTree, // a signed release's tree breaks its rules or does not match its manifest
    };
    Q_ENUM(Code)

    // Where an error comes from, as whoever handles or words it needs to know.
    enum class Family {
        Network,     // the link or the server failed; the detail is curl's or a status
        Storage,     // a file or folder of this machine
        Trust,       // what the server sent is refused: its size, its form, its signature, its digest
        Publication, // the site's releases in time: being published, older, expired
        Input,       // a value given to the program: a number, a key, a password
    };
    Q_ENUM(Family)

    Error(Code code, QString subject = {}, QString detail = {});

    Code code() const { return m_code; }
    Family family() const { return familyOf(m_code); }
    static Family familyOf(Code code);
    // What is named: a path or a URL.
    const QString &subject() const { return m_subject; }
    // The value or the technical cause (curl's words, an HTTP status). The
    // user is not told it for a network failure: the log keeps the cause.
    const QString &detail() const { return m_detail; }
    // The code's name, the subject and the detail, in no one's language: for
    // a log or a debugger.
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

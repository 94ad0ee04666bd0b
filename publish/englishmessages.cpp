#include "englishmessages.h"

#include "release/sitelayout.h"

using Code = platform::Error::Code;

namespace publish {

QString englishRule(Code code)
{
    switch (code) {
    case Code::FileNotFound: return QStringLiteral("file not found");
    case Code::PathNotFound: return QStringLiteral("folder not found");
    case Code::PermissionDenied: return QStringLiteral("permission denied");
    case Code::FileAccess: return QStringLiteral("cannot read or write the file");
    case Code::DiskFull: return QStringLiteral("disk full");
    case Code::FolderNotWritable: return QStringLiteral("this user cannot create files in the folder");
    case Code::LinkedFolder: return QStringLiteral("a link or no folder where a folder of the application is");
    case Code::InvalidArgument: return QStringLiteral("invalid value");
    case Code::TypeMismatch: return QStringLiteral("not a number");
    case Code::Overflow: return QStringLiteral("number out of range");
    case Code::NetworkFailure: return QStringLiteral("network request failed");
    case Code::HttpStatus: return QStringLiteral("the server answered with an error status");
    case Code::Timeout: return QStringLiteral("the connection timed out");
    case Code::TooLarge:
        return QStringLiteral("larger than a client accepts (the index %1 MiB, its signature %2 MiB, the stamp %3 KiB, "
                              "the tree %4 MiB)")
            .arg(sitelayout::largestIndex >> 20)
            .arg(sitelayout::largestSignature >> 20)
            .arg(sitelayout::largestStamp >> 10)
            .arg(sitelayout::largestTree >> 20);
    case Code::MalformedIndex:
        return QStringLiteral("malformed release index line (expected 64 lowercase hex digits, two spaces "
                              "or a space and '*', a path, LF)");
    case Code::MalformedTree:
        return QStringLiteral("malformed release tree line (expected 'd', 'f' or 'l', a space, octal mode bits up "
                              "to 777, a space, a path the updater installs, for a link ' -> ' and a target inside "
                              "the tree; each path once; its files exactly the manifest's)");
    case Code::MalformedSignature:
        return QStringLiteral("malformed minisign signature line (expected 'untrusted comment: ', base64 "
                              "signature, 'trusted comment: ', base64 global signature)");
    case Code::MalformedKey: return QStringLiteral("not a minisign key file or key line");
    case Code::UnsupportedAlgorithm: return QStringLiteral("unsupported minisign algorithm");
    case Code::WrongKey: return QStringLiteral("signed by another key (key id differs)");
    case Code::BadSignature: return QStringLiteral("signature does not verify");
    case Code::BadCommentSignature: return QStringLiteral("trusted comment signature does not verify");
    case Code::MissingTimestamp: return QStringLiteral("trusted comment has no 'timestamp:<seconds>'");
    case Code::MalformedTimestamp:
        return QStringLiteral("malformed 'timestamp:' in the trusted comment (expected decimal Unix seconds, then "
                              "a blank or the end)");
    case Code::FutureTimestamp:
        return QStringLiteral("signed more than one day ahead of this machine's clock; clients refuse it");
    case Code::OlderRelease: return QStringLiteral("signed earlier than the release it replaces");
    case Code::ExpiredRelease:
        return QStringLiteral("the signature has expired; clients refuse the release (run 'updater-publish resign')");
    case Code::StaleRelease: return QStringLiteral("the current signature has expired; clients cannot tell whether "
                                                   "a newer release exists");
    case Code::NotInIndex: return QStringLiteral("path missing from the release index");
    case Code::DigestMismatch: return QStringLiteral("SHA-256 differs from the release index");
    case Code::BrokenFrame: return QStringLiteral("not one whole zstd frame within a client's limits");
    case Code::BeingPublished: return QStringLiteral("missing, though the signature names it");
    case Code::PasswordRequired: return QStringLiteral("the secret key is encrypted: give --password-file or --password-stdin");
    case Code::WrongPassword: return QStringLiteral("wrong password for the secret key");
    case Code::CryptoFailure: return QStringLiteral("the cryptography library failed");
    case Code::Certificate: return QStringLiteral("the server's certificate does not verify");
    case Code::BadResponse: return QStringLiteral("the server's response is not valid HTTP");
    case Code::ConnectionBroken: return QStringLiteral("the connection broke off");
    case Code::TooSlow: return QStringLiteral("the server sent too slowly to finish within the time limit");
    }
    return QStringLiteral("unknown error");
}

QString englishLine(const platform::Error &error)
{
    // A detail, where the publisher gives one, is already English and more
    // precise than the code's rule. The index's and the tree's line rules are
    // the updater's, in its language; the English rule of the code states them all.
    const bool englishDetail = !error.detail().isEmpty() && error.code() != Code::MalformedIndex
                               && error.code() != Code::MalformedTree;
    const QString rule = englishDetail ? error.detail() : englishRule(error.code());
    return error.subject().isEmpty() ? rule : error.subject() + QStringLiteral(": ") + rule;
}

} // namespace publish

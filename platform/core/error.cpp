#include "error.h"

#include <QMetaEnum>

#include <cerrno>

namespace platform {

Error::Error(Code code, QString subject, QString detail)
    : m_code(code), m_subject(std::move(subject)), m_detail(std::move(detail))
{
    m_what = QMetaEnum::fromType<Code>().valueToKey(int(m_code));
    if (!m_subject.isEmpty())
        m_what += ": " + m_subject.toUtf8();
    if (!m_detail.isEmpty())
        m_what += " (" + m_detail.toUtf8() + ')';
}

Error::Family Error::familyOf(Code code)
{
    switch (code) {
    case Code::NetworkFailure:
    case Code::HttpStatus:
    case Code::Timeout:
    case Code::Certificate:
    case Code::BadResponse:
    case Code::ConnectionBroken:
    case Code::TooSlow:
        return Family::Network;
    case Code::FileNotFound:
    case Code::PathNotFound:
    case Code::PermissionDenied:
    case Code::FileAccess:
    case Code::DiskFull:
    case Code::FolderNotWritable:
    case Code::LinkedFolder:
        return Family::Storage;
    case Code::TooLarge:
    case Code::MalformedIndex:
    case Code::MalformedTree:
    case Code::MalformedSignature:
    case Code::UnsupportedAlgorithm:
    case Code::WrongKey:
    case Code::BadSignature:
    case Code::BadCommentSignature:
    case Code::MissingTimestamp:
    case Code::MalformedTimestamp:
    case Code::FutureTimestamp:
    case Code::NotInIndex:
    case Code::DigestMismatch:
    case Code::BrokenFrame:
    case Code::CryptoFailure:
        return Family::Trust;
    case Code::BeingPublished:
    case Code::OlderRelease:
    case Code::ExpiredRelease:
    case Code::StaleRelease:
        return Family::Publication;
    case Code::InvalidArgument:
    case Code::TypeMismatch:
    case Code::Overflow:
    case Code::MalformedKey:
    case Code::PasswordRequired:
    case Code::WrongPassword:
        return Family::Input;
    }
    return Family::Input;
}

Error Error::fromErrno(int errnum, const QString &path)
{
    switch (errnum) {
    case ENOENT: return Error(Code::FileNotFound, path);
    case ENOTDIR: return Error(Code::PathNotFound, path);
    case EACCES:
    case EPERM:
    case EROFS: return Error(Code::PermissionDenied, path);
    case ENOSPC:
    case EDQUOT: return Error(Code::DiskFull, path);
    default: return Error(Code::FileAccess, path, QString::fromLocal8Bit(strerror(errnum)));
    }
}

} // namespace platform

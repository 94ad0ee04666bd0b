#include "error.h"

#include <cerrno>

namespace platform {

namespace {

QString baseText(Error::Code code)
{
    switch (code) {
    case Error::Code::FileNotFound: return QStringLiteral("文件未找到");
    case Error::Code::PathNotFound: return QStringLiteral("路径未找到");
    case Error::Code::PermissionDenied: return QStringLiteral("没有权限");
    case Error::Code::FileAccess: return QStringLiteral("路径/文件访问错误");
    case Error::Code::DiskFull: return QStringLiteral("磁盘已满");
    case Error::Code::InvalidArgument: return QStringLiteral("无效的过程调用或参数");
    case Error::Code::TypeMismatch: return QStringLiteral("类型不匹配");
    case Error::Code::Overflow: return QStringLiteral("溢出");
    case Error::Code::NetworkFailure: return QStringLiteral("网络请求失败");
    case Error::Code::HttpStatus: return QStringLiteral("服务器返回错误状态");
    case Error::Code::Timeout: return QStringLiteral("网络连接超时");
    case Error::Code::TooLarge: return QStringLiteral("文件超过大小上限");
    case Error::Code::MalformedIndex: return QStringLiteral("发布索引格式错误");
    case Error::Code::MalformedSignature: return QStringLiteral("签名文件格式错误");
    case Error::Code::MalformedKey: return QStringLiteral("密钥格式错误");
    case Error::Code::UnsupportedAlgorithm: return QStringLiteral("不支持的签名算法");
    case Error::Code::WrongKey: return QStringLiteral("签名所用的密钥不是发布者的密钥");
    case Error::Code::BadSignature: return QStringLiteral("签名验证失败");
    case Error::Code::BadCommentSignature: return QStringLiteral("签名的可信注释验证失败");
    case Error::Code::MissingTimestamp: return QStringLiteral("签名的可信注释缺少时间戳");
    case Error::Code::MalformedTimestamp: return QStringLiteral("签名的可信注释中的时间戳格式错误");
    case Error::Code::FutureTimestamp:
        return QStringLiteral("签名时间比本机时钟晚一天以上,请检查本机的日期和时间");
    case Error::Code::OlderRelease: return QStringLiteral("发布时间早于已安装的版本");
    case Error::Code::NotInIndex: return QStringLiteral("文件不在发布索引中");
    case Error::Code::DigestMismatch: return QStringLiteral("文件摘要与发布索引不符");
    case Error::Code::BeingPublished: return QStringLiteral("服务器上的版本正在发布,请稍后再试！");
    case Error::Code::PasswordRequired: return QStringLiteral("密钥已加密，需要密码");
    case Error::Code::WrongPassword: return QStringLiteral("密钥密码错误");
    case Error::Code::CryptoFailure: return QStringLiteral("加密库操作失败");
    case Error::Code::Certificate: return QStringLiteral("服务器证书验证失败,已拒绝连接");
    case Error::Code::BadResponse: return QStringLiteral("服务器的响应无效");
    }
    return QStringLiteral("未知错误");
}

} // namespace

Error::Error(Code code, QString subject, QString detail)
    : m_code(code), m_subject(std::move(subject)), m_detail(std::move(detail))
{
    m_what = description().toUtf8();
}

QString Error::description() const
{
    QString text = baseText(m_code);
    if (!m_detail.isEmpty())
        text += QLatin1Char(' ') + m_detail;
    if (!m_subject.isEmpty())
        text += QStringLiteral("：") + m_subject;
    return text;
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

#include "errortext.h"

#include <QRegularExpression>

namespace update {

namespace {

using Code = platform::Error::Code;

QString sentenceOf(Code code)
{
    switch (code) {
    case Code::FileNotFound: return QStringLiteral("文件未找到");
    case Code::PathNotFound: return QStringLiteral("路径未找到");
    case Code::PermissionDenied: return QStringLiteral("没有权限");
    case Code::FileAccess: return QStringLiteral("路径/文件访问错误");
    case Code::DiskFull: return QStringLiteral("磁盘已满,请清理磁盘空间后重试");
    case Code::FolderNotWritable:
        return QStringLiteral("当前用户不能写入程序所在的文件夹,无法更新,请以安装本程序的用户运行更新程序,"
                              "或请管理员给当前用户写入此文件夹的权限");
    case Code::LinkedFolder:
        return QStringLiteral("程序的子文件夹是指向别处的链接或不是文件夹,更新不会写入其中,请删除或改正此文件夹后重试");
    case Code::InvalidArgument: return QStringLiteral("无效的过程调用或参数");
    case Code::TypeMismatch: return QStringLiteral("类型不匹配");
    case Code::Overflow: return QStringLiteral("溢出");
    case Code::NetworkFailure:
        return QStringLiteral("网络请求失败,无法连接更新服务器,请检查网络连接后重试");
    case Code::HttpStatus:
        return QStringLiteral("服务器返回错误状态,暂时无法下载此文件,请稍后重试；如果仍然失败,请联系软件供应商");
    case Code::Timeout:
        return QStringLiteral("网络连接超时,更新服务器长时间没有响应,请检查网络连接后重试");
    case Code::TooSlow:
        return QStringLiteral("下载速度过慢,更新服务器在时限内未能传完数据,请稍后重试；如果仍然失败,请联系软件供应商");
    case Code::TooLarge: return QStringLiteral("文件超过大小上限");
    case Code::MalformedIndex: return QStringLiteral("发布索引格式错误");
    case Code::MalformedTree: return QStringLiteral("发布文件树格式错误或与更新清单不符");
    case Code::MalformedSignature: return QStringLiteral("签名文件格式错误");
    case Code::MalformedKey: return QStringLiteral("密钥格式错误");
    case Code::UnsupportedAlgorithm: return QStringLiteral("不支持的签名算法");
    case Code::WrongKey: return QStringLiteral("签名所用的密钥不是发布者的密钥");
    case Code::BadSignature: return QStringLiteral("签名验证失败");
    case Code::BadCommentSignature: return QStringLiteral("签名的可信注释验证失败");
    case Code::MissingTimestamp: return QStringLiteral("签名的可信注释缺少时间戳");
    case Code::MalformedTimestamp: return QStringLiteral("签名的可信注释中的时间戳格式错误");
    case Code::FutureTimestamp:
        return QStringLiteral("签名时间比本机时钟晚一天以上,请检查本机的日期和时间");
    case Code::OlderRelease: return QStringLiteral("发布时间早于已安装的版本");
    case Code::ExpiredRelease:
        // Far past its end, an expiry is more often this machine's clock than the vendor's.
        return QStringLiteral("发布签名已过期,请检查本机的日期和时间；如果日期和时间正确,请联系软件供应商");
    case Code::StaleRelease: return QStringLiteral("无法确认是否有新版本：发布签名已过期");
    case Code::NotInIndex: return QStringLiteral("文件不在发布索引中");
    case Code::DigestMismatch: return QStringLiteral("文件摘要与发布索引不符");
    case Code::BrokenFrame: return QStringLiteral("压缩数据已损坏");
    case Code::BeingPublished: return QStringLiteral("服务器上的版本正在发布,请稍后再试！");
    case Code::PasswordRequired: return QStringLiteral("密钥已加密，需要密码");
    case Code::WrongPassword: return QStringLiteral("密钥密码错误");
    case Code::CryptoFailure: return QStringLiteral("加密库操作失败");
    case Code::Certificate:
        return QStringLiteral("服务器证书验证失败,已拒绝连接。请检查本机的日期和时间；如果仍然失败,请联系软件供应商");
    case Code::BadResponse:
        return QStringLiteral("服务器的响应无效,请稍后重试；如果仍然失败,请联系软件供应商");
    case Code::ConnectionBroken:
        return QStringLiteral("网络请求失败,连接中断,文件未能下载完整,请检查网络连接后重试");
    }
    return QStringLiteral("未知错误");
}

// What to do, for an error whose sentence does not say it.
QString adviceOf(platform::Error::Family family)
{
    switch (family) {
    case platform::Error::Family::Storage:
        return QStringLiteral("请检查本程序所在的磁盘和文件夹后重试；如果仍然失败,请联系软件供应商");
    case platform::Error::Family::Publication:
        return QStringLiteral("请检查本机的日期和时间；如果日期和时间正确,请联系软件供应商");
    case platform::Error::Family::Network:
    case platform::Error::Family::Trust:
    case platform::Error::Family::Input:
        break;
    }
    return QStringLiteral("请稍后重试；如果仍然失败,请联系软件供应商");
}

// Every sentence says first what happened, up to a mark; where it says what
// to do, it says it last, after a mark, beginning with 请.
const QRegularExpression whatToDo(QStringLiteral("[,。；]请"));
const QRegularExpression mark(QStringLiteral("[,：。；！]"));

} // namespace

QString whatHappened(const platform::Error &error)
{
    const QString sentence = sentenceOf(error.code());
    return sentence.left(sentence.indexOf(mark));
}

QString refusalText(const platform::Error &error)
{
    const QString sentence = sentenceOf(error.code());
    const qsizetype todo = sentence.indexOf(whatToDo);
    QString happened = sentence.left(todo);
    // A file of this machine or a value given: the detail says what is wrong
    // with it, and the file is the one to act on, whose disk may hold no log.
    const platform::Error::Family family = error.family();
    if ((family == platform::Error::Family::Storage || family == platform::Error::Family::Input)
        && !error.detail().isEmpty())
        happened += QLatin1Char(' ') + error.detail();
    if (family == platform::Error::Family::Storage && !error.subject().isEmpty())
        happened += QStringLiteral("：") + error.subject();
    QString advice = todo < 0 ? adviceOf(error.family()) : sentence.mid(todo + 1);
    // A clause or two a line: the box stays narrower than the window.
    advice.replace(QStringLiteral("；"), QStringLiteral("；\n"));
    if (!advice.endsWith(QStringLiteral("！")))
        advice += QStringLiteral("。");
    return happened + QStringLiteral("。\n本次更新未做任何更改。\n") + advice;
}

QString describe(const platform::Error &error)
{
    QString text = sentenceOf(error.code());
    if (!error.detail().isEmpty() && error.family() != platform::Error::Family::Network)
        text += QLatin1Char(' ') + error.detail();
    if (!error.subject().isEmpty())
        text += QStringLiteral("：") + error.subject();
    return text;
}

} // namespace update

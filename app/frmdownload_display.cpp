// The display of the engine's status and progress events.

#include "frmdownload.h"
#include "progressposition.h"

#include "download/status.h"
#include "platform/core/error.h"
#include "platform/core/eventloop.h"
#include "platform/text/numbers.h"

namespace num = platform::numbers;
namespace DLStatus = download::DLStatus;

namespace {

QString statusText(std::int32_t TmpState)
{
    switch (TmpState) {
    case DLStatus::Connecting: return QStringLiteral("连接服务器...");
    case DLStatus::SendingRequest: return QStringLiteral("发送请求...");
    case DLStatus::QueryingInfo: return QStringLiteral("获取远程文件信息...");
    case DLStatus::Downloading: return QStringLiteral("正在下载数据...");
    case DLStatus::Stopped: return QStringLiteral("停止下载");
    case DLStatus::Finished: return QStringLiteral("下载完成");
    case DLStatus::ConnectFailed: return QStringLiteral("连接服务器失败");
    case DLStatus::RequestFailed: return QStringLiteral("发送请求失败");
    case DLStatus::TransferEnded: return QStringLiteral("连接服务器");
    default: return QStringLiteral("下载被中止");
    }
}

} // namespace

void frmDownLoad::Cdf_entDLFileStatus(std::int32_t TmpState)
{
    sStateText = statusText(TmpState);
    m_retryCountdown.setStatus(QStringLiteral("连接状态： ") + sStateText);
}

// One call per block written, thousands a second: each text and number is
// the one the display rules give, worked out without going through text
// where the text itself is not kept, and the amount's text made only when it
// is read or painted.
void frmDownLoad::Cdf_entDLFileDowning(const QString &sRemoteURL, std::int32_t lDownLoaded,
                                       std::int32_t lFilesize, std::int32_t lSpeed)
{
    Q_UNUSED(sRemoteURL);
    // The size is the same in every event of a download.
    if (!m_shownFilesize || *m_shownFilesize != lFilesize) {
        m_sizeCaption = num::formatFixed(lFilesize / 1024.0, 2, m_decimalPoint);
        m_sizeMax = float(num::roundToDecimals(lFilesize / 1024.0, 2));
        m_shownFilesize = lFilesize;
    }
    lblMax.setCaption(m_sizeCaption);
    Uload.setMax(m_sizeMax);
    platform::yield();
    lSpeedKb = num::toInt32(num::roundToDecimals(lSpeed / 1024.0, 2));
    lblNum.setCaption(lDownLoaded / 1024.0, num::formatGeneral);
    try {
        Uload.setValue(amountPosition(lDownLoaded));
    } catch (const platform::Error &) {
        // A position the bar refuses is skipped; it keeps its last one.
    }
}

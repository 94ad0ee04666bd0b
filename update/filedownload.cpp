#include "filedownload.h"

namespace update {

namespace {

// The engine takes a timeout for each file and leaves it to the platform's limits.
constexpr std::int32_t lTimeOut = 5000;

} // namespace

FileDownloaded FileDownload::get(const QString &url, const QString &localPath, platform::CacheUse cacheUse)
{
    const std::int32_t written = m_engine.DLFile(url, localPath, lTimeOut, cacheUse);
    return {written, m_engine.lastOutcome()};
}

FileDownloaded FileDownload::get(const QString &url, platform::PendingUrl sent, const QString &localPath)
{
    const std::int32_t written = m_engine.DLFile(url, std::move(sent), localPath, lTimeOut);
    return {written, m_engine.lastOutcome()};
}

void FileDownload::stop()
{
    m_engine.DLFileStop();
}

} // namespace update

#pragma once

#include "download/cls_download.h"

#include <QString>

#include <cstdint>

namespace update {

// What one download gave: the bytes written into the local file, and how it ended.
struct FileDownloaded
{
    std::int32_t written = 0;
    download::DLOutcome outcome;
};

// The run's one way to the download engine: each file through the engine's
// own calls, so that its events reach the window, and the whole result
// handed back at once.
class FileDownload
{
public:
    explicit FileDownload(download::Cls_DownLoad &engine) : m_engine(engine) {}

    // `cacheUse` may let caches answer, for a file whose digest is checked.
    FileDownloaded get(const QString &url, const QString &localPath,
                       platform::CacheUse cacheUse = platform::CacheUse::Revalidate);
    // The same over a request for `url` that was sent earlier.
    FileDownloaded get(const QString &url, platform::PendingUrl sent, const QString &localPath);
    // Asks a download under way to stop after its current block.
    void stop();

    void setComputesDigest(bool computes) { m_engine.setComputesDigest(computes); }
    // Where cut downloads are recorded, for a later run to go on with them.
    void setPartialRecord(const QString &path) { m_engine.setPartialRecord(path); }
    platform::HttpClient &client() { return m_engine.httpClient(); }

private:
    download::Cls_DownLoad &m_engine;
};

} // namespace update

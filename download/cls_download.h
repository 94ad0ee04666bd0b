#pragma once

#include "platform/core/clock.h"
#include "partialdownload.h"
#include "platform/net/httpclient.h"
#include "release/backgroundsha256.h"

#include <QObject>
#include <QString>

#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

namespace download {

// How the last DLFile call ended, beyond what its result tells.
struct DLOutcome
{
    enum class Ending {
        None,          // no call yet
        Complete,      // the whole body arrived
        Stopped,       // a stop request ended the transfer
        BrokeOff,      // a read failed or timed out mid-transfer
        UrlFailed,     // the URL did not open (no connection, non-2xx status)
        SessionFailed, // no HTTP session could be created
    };

    Ending ending = Ending::None;
    std::int64_t announcedSize = -1; // Content-Length, -1 when none was announced
    // The whole file's bytes: kept from an earlier run, then received.
    std::int64_t received = 0;
    // The bytes at hand from an earlier run that this call went on from.
    std::int64_t kept = 0;
    int httpStatus = 0;
    // SHA-256 of the bytes written, 64 lowercase hex digits; empty unless the
    // engine computes digests.
    QByteArray sha256;
    std::optional<platform::Error> failure; // why the URL did not open or the body broke off
    // A large file whose digest is computed, held open under a write lease
    // taken before its first byte (platform::takeWriteLease): while the lease
    // holds, the file holds the very bytes that were hashed. Null otherwise.
    std::shared_ptr<platform::FileDescriptor> leased;

    // A complete body of exactly the announced size, when one was announced.
    bool isWhole() const
    {
        return ending == Ending::Complete && (announcedSize < 0 || announcedSize == received);
    }
};

// Downloads one URL into one local file in blocks of 512 bytes, reporting
// every stage and every block, and can be asked to stop after the current block.
// With a record of cut downloads, a file that an earlier call left cut goes
// on from where it stopped: the progress then counts the kept bytes as
// downloaded (the file holds them) from the first block on, and the speed
// only the bytes this call received.
class Cls_DownLoad : public QObject
{
    Q_OBJECT

public:
    static constexpr std::int64_t blockSize = 512;
    // The smallest file held under a write lease: smaller ones are hashed
    // again in less time, and hold no descriptor through the run.
    static constexpr std::int64_t smallestLeased = 8 * 1024 * 1024;

    explicit Cls_DownLoad(std::shared_ptr<platform::HttpClient> client = std::make_shared<platform::HttpClient>(),
                          platform::Clock clock = platform::secondsSinceMidnight, QObject *parent = nullptr);

    // Returns the number of bytes the file holds, those kept from an earlier
    // call included; 0 when nothing was written or no session opened. lTimeOut is accepted and unused: the platform's limits apply.
    // `cacheUse` may let caches answer, for a file whose digest is checked.
    std::int32_t DLFile(const QString &sRemoteURL, const QString &sLocalFilePath, std::int32_t lTimeOut,
                        platform::CacheUse cacheUse = platform::CacheUse::Revalidate);
    // The same download over a request for sRemoteURL sent earlier, whose
    // round trip has passed beside other work; the same events follow.
    std::int32_t DLFile(const QString &sRemoteURL, platform::PendingUrl sent, const QString &sLocalFilePath,
                        std::int32_t lTimeOut);
    // Asks a running DLFile to stop after its current block; always false.
    bool DLFileStop();

    // Whether each download's SHA-256 is computed as its blocks are written.
    void setComputesDigest(bool computes) { m_computesDigest = computes; }
    // Where cut downloads are recorded so that a later call goes on with
    // them (see PartialDownload); empty (the default): nowhere.
    void setPartialRecord(const QString &path) { m_partialRecord = path; }

    // How the most recent DLFile call that returned ended.
    const DLOutcome &lastOutcome() const { return m_lastOutcome; }

    platform::HttpClient &httpClient() { return *m_client; }

signals:
    void entDLFileDowning(const QString &sRemoteURL, std::int32_t lDownLoaded, std::int32_t lFilesize,
                          std::int32_t lSpeed);
    void entDLFileStatus(std::int32_t TmpState);

private:
    void begin();
    std::int32_t receive(const QString &sRemoteURL, platform::PendingUrl request, const QString &sLocalFilePath,
                         PartialDownload &partial);
    std::int32_t speedOf(std::int32_t lDownLoaded, std::int32_t startSecond) const;

    std::shared_ptr<platform::HttpClient> m_client;
    platform::Clock m_clock;
    bool bStop = false;
    DLOutcome m_lastOutcome;
    bool m_computesDigest = false;
    QString m_partialRecord;
    // One context for every download: no set-up cost per file. Computed
    // beside the download, not between its blocks.
    release::BackgroundSha256 m_sha256;
    // The write buffer, handed from each file's stream to the next.
    std::vector<char> m_writeMemory;
};

} // namespace download

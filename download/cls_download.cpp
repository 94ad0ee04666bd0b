#include "cls_download.h"

#include "status.h"

#include "platform/core/error.h"
#include "platform/files/bytestream.h"
#include "platform/files/writelease.h"
#include "platform/core/eventloop.h"
#include "platform/text/numbers.h"
#include "release/sitelayout.h"

#include <functional>
#include <optional>

using platform::numbers::toInt32;

namespace download {

namespace {

constexpr std::int32_t unknownSpeed = 1025;

// A file of 2 GiB or more overflows the engine's 32-bit counts: the user is
// told that, and which file, rather than a bare number.
const QString beyondCounts = QStringLiteral("(须小于 2 GiB)");

// The announced size as the engine counts it.
std::int32_t announcedCount(const QString &url, const QByteArray &sizeText)
{
    try {
        return platform::numbers::parseInt32(QString::fromLatin1(sizeText));
    } catch (const platform::Error &error) {
        if (error.code() != platform::Error::Code::Overflow)
            throw;
        throw platform::Error(platform::Error::Code::TooLarge, url, beyondCounts);
    }
}

} // namespace

Cls_DownLoad::Cls_DownLoad(std::shared_ptr<platform::HttpClient> client, platform::Clock clock, QObject *parent)
    : QObject(parent), m_client(std::move(client)), m_clock(std::move(clock))
{
}

bool Cls_DownLoad::DLFileStop()
{
    bStop = true;
    return false;
}

std::int32_t Cls_DownLoad::speedOf(std::int32_t lDownLoaded, std::int32_t startSecond) const
{
    const std::int32_t elapsed = toInt32(m_clock() - startSecond);
    if (elapsed < 1)
        return unknownSpeed;
    return toInt32(double(lDownLoaded) / elapsed);
}

void Cls_DownLoad::begin()
{
    // A request left from before this call is not meant for it.
    bStop = false;
    m_lastOutcome = {};
    emit entDLFileStatus(DLStatus::Connecting);
}

std::int32_t Cls_DownLoad::DLFile(const QString &sRemoteURL, const QString &sLocalFilePath, std::int32_t lTimeOut,
                                  platform::CacheUse cacheUse)
{
    Q_UNUSED(lTimeOut);
    begin();
    const std::unique_ptr<platform::HttpSession> session = m_client->openSession(platform::HttpClient::userAgent);
    if (!session) {
        emit entDLFileStatus(DLStatus::ConnectFailed);
        m_lastOutcome.ending = DLOutcome::Ending::SessionFailed;
        platform::yield();
        return 0;
    }
    emit entDLFileStatus(DLStatus::SendingRequest);
    PartialDownload partial(m_partialRecord, sRemoteURL, sLocalFilePath);
    return receive(sRemoteURL, session->startUrl(sRemoteURL, cacheUse, partial.kept()), sLocalFilePath, partial);
}

std::int32_t Cls_DownLoad::DLFile(const QString &sRemoteURL, platform::PendingUrl sent, const QString &sLocalFilePath,
                                  std::int32_t lTimeOut)
{
    Q_UNUSED(lTimeOut);
    begin();
    emit entDLFileStatus(DLStatus::SendingRequest);
    // Sent without a Range: a file at hand is not gone on with.
    PartialDownload partial(m_partialRecord, sRemoteURL, sLocalFilePath);
    return receive(sRemoteURL, std::move(sent), sLocalFilePath, partial);
}

std::int32_t Cls_DownLoad::receive(const QString &sRemoteURL, platform::PendingUrl request,
                                   const QString &sLocalFilePath, PartialDownload &partial)
{
    DLOutcome outcome;
    platform::OpenFailure failure;
    request.limitBody({sitelayout::fileSizeLimit - 1, beyondCounts});
    std::unique_ptr<platform::UrlHandle> url = request.open(&failure);
    platform::yield();

    std::int32_t lDownLoaded = 0;
    if (!url) {
        // A file at hand whose rest the server would not give is not asked
        // for again; one that no server was reached for still is.
        if (failure.httpStatus != 0)
            partial.forget();
        emit entDLFileStatus(DLStatus::RequestFailed);
        outcome.ending = DLOutcome::Ending::UrlFailed;
        outcome.httpStatus = failure.httpStatus;
        outcome.failure = failure.error;
    } else {
        emit entDLFileStatus(DLStatus::QueryingInfo);
        outcome.httpStatus = url->status();
        // Within the body's limit: the kept count stays within 32 bits.
        const auto kept = std::int32_t(url->startsAt());
        const std::optional<QByteArray> contentLength =
            kept > 0 ? QByteArray::number(url->length()) : url->contentLength();
        const QByteArray sizeText = contentLength.value_or(QByteArrayLiteral("0"));
        bool announced = false;
        const std::int64_t announcedSize = sizeText.toLongLong(&announced);
        outcome.announcedSize = contentLength && announced ? announcedSize : -1;
        // The announced size becomes a 32-bit count at the first progress event.
        std::optional<std::int32_t> lFilesize;

        const std::int32_t startSecond = toInt32(m_clock());

        emit entDLFileStatus(DLStatus::Downloading);
        platform::ByteStream file = kept > 0 ? platform::ByteStream(partial.takeFile(), std::uint64_t(kept),
                                                                    sLocalFilePath, std::move(m_writeMemory))
                                             : platform::ByteStream(sLocalFilePath, std::move(m_writeMemory));
        if (m_computesDigest && url->length() >= smallestLeased) {
            platform::FileDescriptor own = file.reader();
            if (platform::takeWriteLease(own.get()))
                outcome.leased = std::make_shared<platform::FileDescriptor>(std::move(own));
        }
        if (kept == 0)
            partial.starting(url->lastingValidator(), url->length());
        lDownLoaded = kept;
        outcome.kept = kept;
        // The digest covers the whole file: the kept bytes first.
        if (m_computesDigest) {
            m_sha256.start(file.reader(), sLocalFilePath);
            m_sha256.written(kept);
        }
        char buffer[blockSize];
        std::int32_t lSpeed = 0;
        std::int32_t loopStatus = DLStatus::TransferEnded;
        // While the transfer waits before a retry, the speed goes on falling
        // as an average does: the last block is reported again with it. Made
        // into a function once, not at every read.
        const std::function<void()> waiting = [&] {
            if (!lFilesize)
                return;
            lSpeed = speedOf(lDownLoaded - kept, startSecond);
            emit entDLFileDowning(sRemoteURL, lDownLoaded, *lFilesize, lSpeed);
        };
        for (;;) {
            const std::int64_t n = url->read(buffer, blockSize, waiting);
            if (n <= 0) {
                // A body beyond the engine's counts ends the call as an
                // error; any other failure ends the file.
                const std::optional<platform::Error> &why = url->failure();
                if (why && why->code() == platform::Error::Code::TooLarge)
                    throw *why;
                break;
            }
            file.write(buffer, std::size_t(n));
            if (m_computesDigest)
                m_sha256.written(qint64(file.flushedSize()));
            // Within the body's limit: the count stays within 32 bits.
            lDownLoaded += std::int32_t(n);
            lSpeed = speedOf(lDownLoaded - kept, startSecond);
            if (!lFilesize)
                lFilesize = announcedCount(sRemoteURL, sizeText);
            emit entDLFileDowning(sRemoteURL, lDownLoaded, *lFilesize, lSpeed);
            platform::yield();
            if (bStop) {
                bStop = false;
                loopStatus = DLStatus::Stopped;
                break;
            }
            platform::yield();
        }
        outcome.ending = loopStatus == DLStatus::Stopped ? DLOutcome::Ending::Stopped
                         : url->completed()             ? DLOutcome::Ending::Complete
                                                        : DLOutcome::Ending::BrokeOff;
        if (outcome.ending == DLOutcome::Ending::Complete)
            partial.forget();
        // A stopped download is never installed: its digest is not waited for.
        if (m_computesDigest && loopStatus != DLStatus::Stopped) {
            file.flush();
            outcome.sha256 = m_sha256.hexResult(qint64(file.flushedSize()));
        }
        outcome.failure = url->failure();
        emit entDLFileStatus(loopStatus);
        m_writeMemory = file.takeMemory();
        url.reset();
    }
    emit entDLFileStatus(DLStatus::Finished);

    outcome.received = lDownLoaded;
    m_lastOutcome = outcome;
    platform::yield();
    return lDownLoaded;
}

} // namespace download

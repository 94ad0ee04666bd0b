#include "partialdownload.h"

#include "platform/files/bytestream.h"
#include "platform/files/filesystem.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace download {

namespace {

// A record holds a few cut downloads; anything larger is no record of ours.
constexpr qint64 largestRecord = 64 * 1024;

} // namespace

QByteArray partialRecordText(const PartialEntries &entries)
{
    QJsonObject record;
    for (const auto &[path, entry] : entries) {
        record.insert(path, QJsonObject{{QStringLiteral("url"), entry.url},
                                        {QStringLiteral("validator"), QString::fromLatin1(entry.validator)},
                                        {QStringLiteral("length"), qint64(entry.length)}});
    }
    return QJsonDocument(record).toJson(QJsonDocument::Compact);
}

PartialEntries partialEntriesOf(const QByteArray &text)
{
    PartialEntries entries;
    const QJsonObject record = QJsonDocument::fromJson(text).object();
    for (auto it = record.begin(); it != record.end(); ++it) {
        const QJsonObject entry = it->toObject();
        entries[it.key()] = {entry.value(QStringLiteral("url")).toString(),
                             entry.value(QStringLiteral("validator")).toString().toLatin1(),
                             entry.value(QStringLiteral("length")).toInteger()};
    }
    return entries;
}

PartialDownload::PartialDownload(QString record, QString url, QString localPath)
    : m_record(std::move(record)), m_url(std::move(url)), m_localPath(std::move(localPath))
{
    if (m_record.isEmpty())
        return;
    PartialEntries entries = read();
    const auto entry = entries.find(m_localPath);
    if (entry == entries.end())
        return;
    platform::FileDescriptor file = platform::filesystem::openOwnFile(m_localPath, O_RDWR);
    struct stat info {};
    if (file.isOpen() && ::fstat(file.get(), &info) == 0 && entry->second.continues(m_url, info.st_size)) {
        m_listed = true;
        m_kept = {info.st_size, entry->second.validator, entry->second.length};
        m_file = std::move(file);
        return;
    }
    entries.erase(entry);
    write(entries);
}

void PartialDownload::starting(const QByteArray &validator, std::int64_t length)
{
    if (m_record.isEmpty() || ((validator.isEmpty() || length < smallestRecorded) && !m_listed))
        return;
    PartialEntries entries = read();
    if (validator.isEmpty() || length < smallestRecorded)
        entries.erase(m_localPath);
    else
        entries[m_localPath] = {m_url, validator, length};
    m_listed = entries.contains(m_localPath);
    write(entries);
}

void PartialDownload::forget()
{
    if (!m_listed)
        return;
    PartialEntries entries = read();
    entries.erase(m_localPath);
    m_listed = false;
    write(entries);
}

PartialEntries PartialDownload::recorded(const QString &record)
{
    // Most downloads find no record: no error is made of that.
    const platform::FileDescriptor file = platform::filesystem::openOwnFile(record);
    struct stat info {};
    if (!file.isOpen() || ::fstat(file.get(), &info) != 0 || info.st_size > largestRecord)
        return {};
    QByteArray text(qsizetype(info.st_size), Qt::Uninitialized);
    if (platform::readAllAt(file.get(), text.data(), std::size_t(text.size()), 0) != text.size())
        return {};
    return partialEntriesOf(text);
}

void PartialDownload::write(const PartialEntries &entries) const
{
    if (entries.empty()) {
        ::unlink(QFile::encodeName(m_record).constData());
        return;
    }
    const QByteArray text = partialRecordText(entries);
    platform::ByteStream file(m_record);
    file.write(text.constData(), std::size_t(text.size()));
    file.close();
}

} // namespace download

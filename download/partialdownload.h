#pragma once

#include "platform/files/filedescriptor.h"
#include "platform/net/curltransfer.h"

#include <QByteArray>
#include <QString>

#include <cstdint>
#include <map>

namespace download {

// What is recorded of a download cut short: enough to ask for its rest.
struct PartialEntry
{
    QString url;
    QByteArray validator;
    std::int64_t length = 0;

    // Whether a partial file of `size` bytes at hand may go on as the rest
    // of `requested`: the same URL, some bytes and not all of them.
    bool continues(const QString &requested, std::int64_t size) const
    {
        return requested == url && !validator.isEmpty() && size > 0 && size < length;
    }
};

// Cut downloads by local path.
using PartialEntries = std::map<QString, PartialEntry>;

// The record's text and back; a text that is not a whole record reads as none.
QByteArray partialRecordText(const PartialEntries &entries);
PartialEntries partialEntriesOf(const QByteArray &text);

// One download's part in the record of cut downloads, a file of the
// updater's own, so that a later run (after a stop, a kill or a lost
// connection) asks only for the rest of a file at hand. Only bodies worth it
// are recorded, with their strong validator and length: a small file is
// fetched again sooner than its record is written. The record is written
// before the first byte of a new body, so that a kill never leaves a file
// recorded as another version than it holds.
class PartialDownload
{
public:
    static constexpr std::int64_t smallestRecorded = 1024 * 1024;

    // The download of `url` into `localPath`; nothing is kept when `record`
    // is empty. A recorded file at the path that cannot go on (not this
    // process's own regular file, longer than recorded, another URL) is
    // forgotten at once.
    PartialDownload(QString record, QString url, QString localPath);

    // What the request may ask the rest of: nothing when no file goes on.
    const platform::KeptBody &kept() const { return m_kept; }
    // The file that goes on, open for reading and writing.
    platform::FileDescriptor takeFile() { return std::move(m_file); }
    // A new body starts at the local path (its old content gone): recorded
    // when worth it, else forgotten.
    void starting(const QByteArray &validator, std::int64_t length);
    // The file at the local path is whole, or not to be continued.
    void forget();

    // The cut downloads that `record` lists; none when it cannot be read.
    static PartialEntries recorded(const QString &record);

private:
    PartialEntries read() const { return recorded(m_record); }
    void write(const PartialEntries &entries) const;

    QString m_record;
    QString m_url;
    QString m_localPath;
    bool m_listed = false;
    platform::KeptBody m_kept;
    platform::FileDescriptor m_file;
};

} // namespace download

#include "smallforms.h"

#include "progress.h"
#include "sitewriter.h"
#include "zstdframes.h"
#include "platform/core/error.h"
#include "release/sha256.h"
#include "release/sitelayout.h"

#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <optional>

using platform::Error;

namespace publish {

namespace {

// The size from which a form is not worth keeping: 90 % of the form a client
// would take instead, rounded up.
qint64 keptBelow(qint64 instead)
{
    return (instead * 9 + 9) / 10;
}

// A stored file of the site, mapped.
class MappedFile
{
public:
    explicit MappedFile(const QString &path) : m_file(path)
    {
        if (!m_file.open(QIODevice::ReadOnly))
            throw Error(Error::Code::FileAccess, path, QStringLiteral("cannot read the file"));
        if (m_file.size() > 0 && !(m_data = m_file.map(0, m_file.size())))
            throw Error(Error::Code::FileAccess, path, QStringLiteral("cannot map the file"));
    }
    QByteArrayView bytes() const { return {reinterpret_cast<const char *>(m_data), m_data ? m_file.size() : 0}; }

private:
    QFile m_file;
    uchar *m_data = nullptr;
};

class FormMaker
{
public:
    FormMaker(const QString &site, SiteWriter &writer, Progress &progress)
        : m_site(site), m_writer(writer), m_progress(progress)
    {
    }

    // The size of the form at `path` that rebuilds `digest` from `content`
    // (with `older` as its prefix), kept below `limit`; nothing when it is
    // not worth keeping.
    std::optional<qint64> make(const QByteArray &path, QByteArrayView content, QByteArrayView older,
                               const QByteArray &digest, qint64 limit, const QString &what);

    QList<release::ReleaseIndex::Entry> kept;

private:
    // The form on the site already, when it rebuilds the file and is small enough.
    std::optional<QByteArray> existing(const QByteArray &path, QByteArrayView older, const QByteArray &digest,
                                       qint64 limit) const;

    const QString &m_site;
    SiteWriter &m_writer;
    Progress &m_progress;
};

std::optional<QByteArray> FormMaker::existing(const QByteArray &path, QByteArrayView older, const QByteArray &digest,
                                              qint64 limit) const
{
    QFile file(m_site + QLatin1Char('/') + QString::fromLatin1(path));
    if (!file.open(QIODevice::ReadOnly) || file.size() >= limit)
        return std::nullopt;
    const QByteArray bytes = file.readAll();
    try {
        if (zstdframes::decodedDigest(bytes, older, file.fileName()) == digest)
            return bytes;
    } catch (const Error &) {
        // Replaced by a good one.
    }
    return std::nullopt;
}

std::optional<qint64> FormMaker::make(const QByteArray &path, QByteArrayView content, QByteArrayView older,
                                      const QByteArray &digest, qint64 limit, const QString &what)
{
    std::optional<QByteArray> form = existing(path, older, digest, limit);
    if (form) {
        m_progress.note(QStringLiteral("already stored %1").arg(what));
    } else {
        m_progress.begin(QStringLiteral("compressing"), what, content.size());
        form = zstdframes::encode(content, older, limit, [&](qint64 done) { m_progress.advance(done); });
        m_progress.end();
        if (!form) {
            m_progress.note(QStringLiteral("not kept: %1 saves too little").arg(what));
            return std::nullopt;
        }
        m_writer.storeBytes(path, *form);
    }
    release::Sha256 sha;
    sha.addData(*form);
    kept.append({path, sha.hexResult()});
    return form->size();
}

} // namespace

SmallForms::SmallForms(QString site, const QList<ReleaseFile> &files, const QList<SiteRelease> &earlier, int depth)
    : m_site(std::move(site))
{
    QSet<QByteArray> seen;
    for (const ReleaseFile &file : files) {
        if (seen.contains(file.digest))
            continue;
        seen.insert(file.digest);
        Planned planned{file.name, file.digest, {}};
        for (qsizetype i = 0; i < std::min<qsizetype>(depth, earlier.size()); ++i) {
            const QByteArray older = earlier[i].digests.value(file.name);
            if (older.isEmpty() || older == file.digest || planned.older.contains(older))
                continue;
            // An empty older file gives no more than the compressed form.
            const qint64 olderSize = QFileInfo(m_site + QLatin1Char('/') + sitelayout::storedFile(older)).size();
            if (olderSize > 0 && zstdframes::patchFits(olderSize, file.size))
                planned.older.append(older);
        }
        m_planned.append(planned);
    }
}

QList<QByteArray> SmallForms::paths() const
{
    QList<QByteArray> paths;
    for (const Planned &planned : m_planned) {
        paths.append(sitelayout::compressedForm(planned.digest));
        for (const QByteArray &older : planned.older)
            paths << sitelayout::patchForm(older, planned.digest) << sitelayout::storedFile(older);
    }
    return paths;
}

QList<release::ReleaseIndex::Entry> SmallForms::write(SiteWriter &writer, Progress &progress) const
{
    FormMaker maker(m_site, writer, progress);
    for (const Planned &planned : m_planned) {
        const MappedFile content(m_site + QLatin1Char('/') + QString::fromLatin1(sitelayout::storedFile(planned.digest)));
        const qint64 plain = content.bytes().size();
        const std::optional<qint64> compressed =
            maker.make(sitelayout::compressedForm(planned.digest), content.bytes(), {}, planned.digest,
                       keptBelow(plain), QStringLiteral("%1 (compressed)").arg(planned.name));
        const qint64 limit = keptBelow(compressed.value_or(plain));
        for (const QByteArray &older : planned.older) {
            const QString olderPath = m_site + QLatin1Char('/') + QString::fromLatin1(sitelayout::storedFile(older));
            // A stored file that is gone or damaged gives no patch that clients could use.
            if (!QFileInfo(olderPath).isFile() || release::Sha256::hexOfFile(olderPath) != older)
                continue;
            const MappedFile source(olderPath);
            maker.make(sitelayout::patchForm(older, planned.digest), content.bytes(), source.bytes(), planned.digest,
                       limit, QStringLiteral("%1 (patch from %2)").arg(planned.name, QString::fromLatin1(older.left(12))));
        }
    }
    return maker.kept;
}

} // namespace publish

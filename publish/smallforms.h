#pragma once

#include "releaseplan.h"
#include "sitereleases.h"
#include "release/releaseindex.h"

#include <QList>
#include <QString>

namespace publish {

class Progress;
class SiteWriter;

// The smaller forms a signed release offers beside its files: each file
// compressed, and patches to it from the versions of the same local name in
// the newest earlier releases on the site. A form is kept only when it saves
// a tenth of what a client would fetch otherwise. Everything is read from
// the site itself, so a publisher that has only the site makes the same forms.
class SmallForms
{
public:
    // `depth`: how many of the `earlier` releases (the newest first) a file
    // is patched from.
    SmallForms(QString site, const QList<ReleaseFile> &files, const QList<SiteRelease> &earlier, int depth);

    // Every path a form may be written to, to be checked before anything is.
    QList<QByteArray> paths() const;

    // Makes the forms of the files stored on the site, keeps a form already
    // there that rebuilds its file, stores new ones with `writer`, and returns
    // the kept forms with their digests, for the index.
    QList<release::ReleaseIndex::Entry> write(SiteWriter &writer, Progress &progress) const;

private:
    struct Planned
    {
        QString name;
        QByteArray digest;
        QList<QByteArray> older; // digests to patch from, the newest release first
    };

    QString m_site;
    QList<Planned> m_planned;
};

} // namespace publish

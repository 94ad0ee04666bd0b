#pragma once

#include "objectmetadata.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <cstdint>

namespace publish {

// One file of the local site, as it goes into a store.
struct SiteObject
{
    QByteArray path;   // site path, "KVTA/ZE/..."
    QString source;    // the file it is read from
    std::int64_t size = 0;
    QByteArray sha256; // hex
};

// One object to put, or to compare with what the store holds.
struct UploadStep
{
    SiteObject object;
    ObjectMetadata metadata;
    bool present = false; // the store holds this path already
};

// What an upload does, in order: the release's content (immutable objects,
// then a hand-made site's other files), then the entry point, the stamp last.
struct UploadPlan
{
    QList<UploadStep> content;
    QList<UploadStep> entry;
    // Immutable objects the store holds with another size: never overwritten.
    QStringList conflicts;
};

// The plan for the site's files against the sizes of what the store holds
// under the same paths.
UploadPlan uploadPlan(QList<SiteObject> site, const QHash<QByteArray, std::int64_t> &stored);

} // namespace publish

#pragma once

#include <QByteArray>

namespace publish {

// How a site file is kept in an object store, where the object's own
// metadata is all that a CDN in front of it goes by.
struct ObjectMetadata
{
    enum class Kind {
        Immutable, // content-addressed files, smaller forms, release folders: never overwritten
        Plain,     // any other file of a site made by hand: replaced when it differs
        Fixed,     // the entry point and the paths beside it: written last, in order
    };
    Kind kind = Kind::Plain;
    QByteArray contentType;
    QByteArray cacheControl;
    // Where it comes in a publication: lower first; the fixed paths in the
    // order clients need them, the stamp last.
    int order = 0;
};

// The metadata of the site file at `sitePath` ("KVTA/ZE/...").
ObjectMetadata objectMetadata(const QByteArray &sitePath);

// Whether a site path is the publisher's own (a dotfile somewhere on the
// path: the lock, a file being written): never published.
bool isPublishersOwn(const QByteArray &sitePath);

} // namespace publish

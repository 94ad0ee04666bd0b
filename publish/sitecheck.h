#pragma once

#include "release/minisignkey.h"

#include <QString>
#include <QStringList>

#include <optional>

class Progress;

// What a client of the site at `baseUrl` would fetch, checked without
// installing anything: every problem found, one line each ("path: rule").
struct SiteCheckResult
{
    QStringList problems;
    QStringList warnings; // what is right now but needs the publisher soon
    QString version;
    qsizetype files = 0;
    qint64 bytes = 0;
};

SiteCheckResult checkSite(const QString &baseUrl, const std::optional<release::PublicKey> &key, Progress &progress);

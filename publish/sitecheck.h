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
    QString version;
    qsizetype files = 0;
    qsizetype smallForms = 0;
    qint64 bytes = 0;
};

SiteCheckResult checkSite(const QString &baseUrl, const std::optional<release::PublicKey> &key, Progress &progress);

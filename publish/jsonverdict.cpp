#include "jsonverdict.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

namespace publish {

void printJsonVerdict(QJsonObject fields, const QStringList &problems)
{
    fields.insert(QStringLiteral("verdict"), problems.isEmpty() ? QStringLiteral("OK") : QStringLiteral("FAILED"));
    fields.insert(QStringLiteral("problems"), QJsonArray::fromStringList(problems));
    std::fputs(QJsonDocument(fields).toJson(QJsonDocument::Compact).append('\n').constData(), stdout);
    std::fflush(stdout);
}

} // namespace publish

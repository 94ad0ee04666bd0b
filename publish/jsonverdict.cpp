#include "jsonverdict.h"

#include <QJsonArray>
#include <QJsonDocument>

#include <cstdio>

namespace publish {

void printJsonVerdict(QJsonObject fields, const QStringList &problems, const QString &whole)
{
    fields.insert(QStringLiteral("verdict"), problems.isEmpty() ? whole : QStringLiteral("FAILED"));
    fields.insert(QStringLiteral("problems"), QJsonArray::fromStringList(problems));
    std::fputs(QJsonDocument(fields).toJson(QJsonDocument::Compact).append('\n').constData(), stdout);
    std::fflush(stdout);
}

} // namespace publish

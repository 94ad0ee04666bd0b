#pragma once

#include <QJsonObject>
#include <QStringList>

namespace publish {

// A command's outcome for CI: one JSON object on standard output holding the
// verdict ("FAILED" with problems; without them `whole`, "OK" unless the
// command found the outcome not yet settled), the command's own fields and
// every problem, one string each.
void printJsonVerdict(QJsonObject fields, const QStringList &problems, const QString &whole = QStringLiteral("OK"));

} // namespace publish

#pragma once

#include <QJsonObject>
#include <QStringList>

namespace publish {

// A command's outcome for CI: one JSON object on standard output holding the
// verdict ("OK" without problems, "FAILED" with them), the command's own
// fields and every problem, one string each.
void printJsonVerdict(QJsonObject fields, const QStringList &problems);

} // namespace publish

#pragma once

#include <QStringList>

namespace publish {

// Runs the publisher's command line (the program's path first) and returns
// the exit code. Needs a QCoreApplication that knows the version.
int run(const QStringList &arguments);

} // namespace publish

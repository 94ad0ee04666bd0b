// updater-publish: makes, signs and checks what the update server serves.

#include "publisher.h"

#include <QCoreApplication>

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("updater-publish"));
    QCoreApplication::setApplicationVersion(QStringLiteral(UPDATER_VERSION));
    return publish::run(app.arguments());
}

// A whole update run with the window on screen:
//   bench_run APP_FOLDER BASE_URL
// Presses the start button and, when the closing message appears, prints the
// seconds since the press and the message, then ends.

#include "app/frmdownload.h"
#include "app/translations.h"
#include "platform/eventloop.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    installChineseTranslations(app);
    const QStringList args = app.arguments();
    if (args.size() != 3) {
        std::fputs("usage: bench_run APP_FOLDER BASE_URL\n", stderr);
        return 2;
    }
    frmDownLoad window(AppPaths(args[1]), args[2]);
    window.show();

    QElapsedTimer clock;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            std::printf("seconds %.6f message %s\n", clock.nsecsElapsed() / 1e9, qPrintable(box->text()));
            platform::endAtOnce();
        }
    });
    QTimer::singleShot(200, &window, [&] {
        watch.start(5);
        clock.start();
        window.findChild<QPushButton *>(QStringLiteral("Command1"))->click();
    });
    return app.exec();
}

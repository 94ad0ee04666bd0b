// A whole update run with the window on screen:
//   bench_run APP_FOLDER BASE_URL [--public-key=BASE64]
// With a public key the run is a signed one.
// Presses the start button and, when the closing message appears, prints the
// seconds since the press, the longest time the event loop went without
// running (the window did not answer meanwhile) and the message, then ends.

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
    const QLatin1String keyOption("--public-key=");
    if (args.size() < 3 || args.size() > 4 || (args.size() == 4 && !args[3].startsWith(keyOption))) {
        std::fputs("usage: bench_run APP_FOLDER BASE_URL [--public-key=BASE64]\n", stderr);
        return 2;
    }
    std::optional<release::PublicKey> publisherKey;
    if (args.size() == 4)
        publisherKey = release::PublicKey::fromBase64(args[3].mid(keyOption.size()).toLatin1(), keyOption);
    frmDownLoad window(AppPaths(args[1]), args[2], std::make_shared<platform::HttpClient>(), publisherKey);
    window.show();

    QElapsedTimer clock;
    QElapsedTimer sinceTick;
    qint64 longestStallNs = 0;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, &watch, [&] {
        longestStallNs = std::max(longestStallNs, sinceTick.nsecsElapsed());
        sinceTick.start();
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            std::printf("seconds %.6f longest-stall-ms %.1f message %s\n", clock.nsecsElapsed() / 1e9,
                        longestStallNs / 1e6, qPrintable(box->text()));
            platform::endAtOnce();
        }
    });
    QTimer::singleShot(200, &window, [&] {
        watch.start(5);
        clock.start();
        sinceTick.start();
        window.findChild<QPushButton *>(QStringLiteral("Command1"))->click();
    });
    return app.exec();
}

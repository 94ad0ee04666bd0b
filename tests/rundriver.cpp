// Drives the update window as a user would, in a process of its own:
//   run_driver APP_FOLDER BASE_URL [--press-during-run] [--cancel-on=TEXT] [--close-on=TEXT]
//              [--network-limit-ms=N] [--public-key=BASE64]
// APP_FOLDER "-" stands for the folder of the executable, as the updater finds it.
// --public-key makes the run a signed one with that minisign public key.
// It presses the start button, answers every message box with OK and prints
// what it saw, one line each:
//   MESSAGE <tab> icon <tab> title <tab> text <tab> button
//   RETURNED <tab> status line <tab> last status text <tab> file list
// Unloading the window ends the process (exit code 0); a run that returns
// with the window open ends it with exit code 3.

#include "app/frmdownload.h"
#include "app/translations.h"
#include "support/quicklimits.h"

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

namespace {

void emitLine(const QStringList &fields)
{
    QString line = fields.join(QLatin1Char('\t'));
    line.replace(QLatin1Char('\r'), QLatin1String("\\r")).replace(QLatin1Char('\n'), QLatin1String("\\n"));
    std::fputs(line.toUtf8().append('\n').constData(), stdout);
    std::fflush(stdout);
}

void answerMessageBoxes()
{
    auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
    if (!box || !box->isVisible())
        return;
    QAbstractButton *ok = box->button(QMessageBox::Ok);
    const QString icon = box->icon() == QMessageBox::Information ? QStringLiteral("information")
                         : box->icon() == QMessageBox::NoIcon    ? QStringLiteral("none")
                                                                 : QStringLiteral("other");
    emitLine({QStringLiteral("MESSAGE"), icon, box->windowTitle(), box->text(),
              ok ? ok->text() : QStringLiteral("?"), QString::number(box->buttons().size())});
    if (ok)
        ok->click();
}

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    installChineseTranslations(app);
    const QStringList args = app.arguments();
    if (args.size() < 3) {
        std::fputs("usage: run_driver APP_FOLDER BASE_URL [options]\n", stderr);
        return 2;
    }
    auto client = std::make_shared<platform::HttpClient>();
    std::optional<release::PublicKey> publisherKey;
    for (const QString &arg : args.mid(3)) {
        if (arg.startsWith(QLatin1String("--network-limit-ms="))) {
            // Short retry waits too, so that a run through every retry ends quickly.
            const int limit = arg.section(QLatin1Char('='), 1).toInt();
            platform::NetworkLimits limits = quickLimits(limit);
            limits.connect = std::chrono::milliseconds(limit);
            client->setLimits(limits);
        } else if (arg.startsWith(QLatin1String("--public-key="))) {
            publisherKey = release::PublicKey::fromBase64(arg.mid(arg.indexOf(QLatin1Char('=')) + 1).toLatin1(),
                                                          QStringLiteral("--public-key"));
        }
    }
    frmDownLoad window(args[1] == QLatin1String("-") ? AppPaths::ofExecutable() : AppPaths(args[1]), args[2],
                       client, publisherKey);
    window.show();

    QTimer answering;
    QObject::connect(&answering, &QTimer::timeout, &answering, answerMessageBoxes);
    answering.start(10);

    auto *start = window.findChild<QPushButton *>(QStringLiteral("Command1"));
    auto *cancel = window.findChild<QPushButton *>(QStringLiteral("Command2"));
    QString cancelOn;
    QString closeOn;
    bool pressDuringRun = false;
    for (const QString &arg : args.mid(3)) {
        if (arg == QLatin1String("--press-during-run"))
            pressDuringRun = true;
        else if (arg.startsWith(QLatin1String("--cancel-on=")))
            cancelOn = arg.section(QLatin1Char('='), 1);
        else if (arg.startsWith(QLatin1String("--close-on=")))
            closeOn = arg.section(QLatin1Char('='), 1);
    }
    QObject::connect(&window.downloadEngine(), &Cls_DownLoad::entDLFileDowning, &window,
                     [&](const QString &url, std::int32_t, std::int32_t, std::int32_t) {
                         if (pressDuringRun) {
                             pressDuringRun = false;
                             start->click();
                             emitLine({QStringLiteral("PRESSED"), QString::number(window.updateRun().isRunning())});
                         }
                         if (!cancelOn.isEmpty() && url.contains(cancelOn))
                             cancel->click();
                         if (!closeOn.isEmpty() && url.contains(closeOn))
                             window.close();
                     });

    QTimer::singleShot(0, &window, [&] {
        start->click();
        emitLine({QStringLiteral("RETURNED"), window.statusLine().caption(), window.lastStatusText(),
                  window.fileList().text()});
        app.exit(3);
    });
    return app.exec();
}

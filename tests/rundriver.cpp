// Drives the update window as a user would, in a process of its own, for
// what only a process of its own shows (its folder, its end, its death):
//   run_driver APP_FOLDER BASE_URL [--cancel-on=TEXT] [--close-on=TEXT] [--public-key=BASE64]
//              [--cancel-when=PATH] [--close-when=PATH]
// APP_FOLDER "-" stands for the folder of the executable, as the updater finds it.
// --public-key makes the run a signed one with those minisign public keys
// (base64 lines separated by ';'). --cancel-on and --close-on act on a
// progress event of a URL that contains TEXT; --cancel-when and --close-when
// once the file PATH exists, for what happens between downloads.
// It presses the start button, answers every message box with OK and prints
// what it saw, one line each:
//   MESSAGE <tab> icon <tab> title <tab> text <tab> button <tab> buttons
//   RETURNED
// Unloading the window ends the process (exit code 0); a run that returns
// with the window open ends it with exit code 3.

#include "app/translations.h"
#include "support/windowrun.h"

#include <QFileInfo>

#include <cstdio>

namespace {

void emitLine(const QStringList &fields)
{
    QString line = fields.join(QLatin1Char('\t'));
    line.replace(QLatin1Char('\r'), QLatin1String("\\r")).replace(QLatin1Char('\n'), QLatin1String("\\n"));
    std::fputs(line.toUtf8().append('\n').constData(), stdout);
    std::fflush(stdout);
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
    std::optional<release::KeyRing> publisherKey;
    QString cancelOn;
    QString closeOn;
    QString cancelWhen;
    QString closeWhen;
    for (const QString &arg : args.mid(3)) {
        const QString value = arg.mid(arg.indexOf(QLatin1Char('=')) + 1);
        if (arg.startsWith(QLatin1String("--public-key=")))
            publisherKey = release::KeyRing::fromText(value.toLatin1(), QStringLiteral("--public-key"));
        else if (arg.startsWith(QLatin1String("--cancel-on=")))
            cancelOn = value;
        else if (arg.startsWith(QLatin1String("--close-on=")))
            closeOn = value;
        else if (arg.startsWith(QLatin1String("--cancel-when=")))
            cancelWhen = value;
        else if (arg.startsWith(QLatin1String("--close-when=")))
            closeWhen = value;
    }
    frmDownLoad window(args[1] == QLatin1String("-") ? update::AppPaths::ofExecutable() : update::AppPaths(args[1]),
                       args[2], std::make_shared<platform::HttpClient>(), publisherKey);
    window.show();

    QTimer answering;
    QObject::connect(&answering, &QTimer::timeout, &answering, [] {
        if (const std::optional<ShownMessage> shown = answerMessageBox())
            emitLine({QStringLiteral("MESSAGE"), shown->icon, shown->title, shown->text, shown->button,
                      QString::number(shown->buttons)});
    });
    answering.start(10);

    auto *start = window.findChild<QPushButton *>(QStringLiteral("Command1"));
    auto *cancel = window.findChild<QPushButton *>(QStringLiteral("Command2"));
    QObject::connect(&window.engine(), &download::Cls_DownLoad::entDLFileDowning, &window,
                     [&](const QString &url, std::int32_t, std::int32_t, std::int32_t) {
                         if (!cancelOn.isEmpty() && url.contains(cancelOn))
                             cancel->click();
                         if (!closeOn.isEmpty() && url.contains(closeOn))
                             window.close();
                     });
    QTimer watching;
    QObject::connect(&watching, &QTimer::timeout, &window, [&] {
        if (!cancelWhen.isEmpty() && QFileInfo::exists(cancelWhen))
            cancel->click();
        if (!closeWhen.isEmpty() && QFileInfo::exists(closeWhen))
            window.close();
    });
    watching.start(10);

    QTimer::singleShot(0, &window, [&] {
        start->click();
        emitLine({QStringLiteral("RETURNED")});
        app.exit(3);
    });
    return app.exec();
}

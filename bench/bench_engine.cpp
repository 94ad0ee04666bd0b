// The engine alone, without a window:
//   bench_engine download URL FILE   one DLFile call; prints seconds and bytes
//   bench_engine stampwait           GetHttpText against a server that answers
//                                    after 5 s; prints wall and CPU seconds
//   bench_engine yieldcost           nanoseconds of one yield with nothing pending

#include "download/cls_download.h"
#include "platform/core/eventloop.h"
#include "update/gethttptext.h"

#include "support/testserver.h"

#include <QCoreApplication>
#include <QElapsedTimer>

#include <cstdio>
#include <sys/resource.h>

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec + (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.value(1) == QLatin1String("download") && args.size() == 4) {
        download::Cls_DownLoad engine;
        QElapsedTimer clock;
        clock.start();
        const std::int32_t bytes = engine.DLFile(args[2], args[3], 5000);
        std::printf("seconds %.6f bytes %d whole %d\n", clock.nsecsElapsed() / 1e9, bytes,
                    int(engine.lastOutcome().isWhole()));
        return engine.lastOutcome().isWhole() ? 0 : 1;
    }
    if (args.value(1) == QLatin1String("stampwait")) {
        TestServer server;
        TestServer::Route slow;
        slow.body = "2.0\r\n";
        slow.delayMs = 5000;
        server.setRoute("/KVTA/ZE/UpdateNote.xml", slow);
        const double cpuBefore = cpuSeconds();
        QElapsedTimer clock;
        clock.start();
        platform::HttpClient client;
        const QString text =
            update::GetHttpText(server.url("KVTA/ZE/UpdateNote.xml"), update::defaultRequestFactories(client));
        std::printf("wall %.3f cpu %.4f text %s\n", clock.nsecsElapsed() / 1e9, cpuSeconds() - cpuBefore,
                    qPrintable(text.trimmed()));
        return 0;
    }
    if (args.value(1) == QLatin1String("yieldcost")) {
        constexpr int count = 1000000;
        QElapsedTimer clock;
        clock.start();
        for (int i = 0; i < count; ++i)
            platform::yield();
        std::printf("ns %.0f\n", double(clock.nsecsElapsed()) / count);
        return 0;
    }
    std::fputs("usage: bench_engine download URL FILE | stampwait | yieldcost\n", stderr);
    return 2;
}

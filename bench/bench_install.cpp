// What installing many small downloaded files costs, apart from downloading
// them:
//   bench_install FOLDER COUNT   writes COUNT files of 4 KiB into
//                                FOLDER/run/Update and installs them into
//                                FOLDER/run as a run does (the all-or-nothing
//                                replacement, then emptying the working
//                                folder); then writes as many into
//                                FOLDER/least/Update and does only what any
//                                durable, all-or-nothing installation must:
//                                one syncfs, one rename per file.
// Then installs as many into FOLDER/tree in COUNT/10 folders, chains ten
// deep below the root, ten files in each, as a client's whole tree.
// Prints the microseconds per file of each. FOLDER must not exist; the files
// are left there, for the caller to set aside (deleting thousands of files
// slows the next file creations on some file systems).

#include "platform/files/filesystem.h"
#include "platform/files/replacement.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace {

QStringList writeFiles(const QString &folder, int count)
{
    QDir().mkpath(folder);
    const QByteArray content(4096, 'x');
    QStringList names;
    for (int i = 0; i < count; ++i) {
        const QString name = QStringLiteral("%1.bin").arg(i, 5, 10, QLatin1Char('0'));
        QFile file(folder + QLatin1Char('/') + name);
        if (!file.open(QIODevice::WriteOnly) || file.write(content) != content.size()) {
            std::fprintf(stderr, "bench_install: cannot write %s\n", qPrintable(file.fileName()));
            std::exit(1);
        }
        names.append(name);
    }
    return names;
}

double microsecondsPerFile(const QElapsedTimer &timer, int count)
{
    return double(timer.nsecsElapsed()) / 1000.0 / count;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    if (argc != 3 || std::atoi(argv[2]) <= 0 || QFile::exists(QString::fromLocal8Bit(argv[1]))) {
        std::fprintf(stderr, "usage: bench_install NEW_FOLDER COUNT\n");
        return 2;
    }
    const QString folder = QString::fromLocal8Bit(argv[1]);
    const int count = std::atoi(argv[2]);

    const QString run = folder + QStringLiteral("/run");
    // Each part's own syncfs writes its new files' data, as a run's does.
    ::sync();
    const QStringList names = writeFiles(run + QStringLiteral("/Update"), count);
    QElapsedTimer timer;
    timer.start();
    platform::filesystem::Replacement installation;
    installation.beneath(run);
    for (const QString &name : names)
        installation.add(run + QStringLiteral("/Update/") + name, run + QLatin1Char('/') + name);
    installation.run();
    platform::filesystem::deleteFolderFiles(run + QStringLiteral("/Update"));
    const double installed = microsecondsPerFile(timer, count);

    const QString least = folder + QStringLiteral("/least");
    ::sync();
    writeFiles(least + QStringLiteral("/Update"), count);
    timer.start();
    const int fd = ::open(QFile::encodeName(least).constData(), O_RDONLY | O_DIRECTORY);
    if (fd < 0 || ::syncfs(fd) != 0) {
        std::fprintf(stderr, "bench_install: cannot flush %s\n", qPrintable(least));
        return 1;
    }
    ::close(fd);
    for (const QString &name : names) {
        const QByteArray from = QFile::encodeName(least + QStringLiteral("/Update/") + name);
        const QByteArray to = QFile::encodeName(least + QLatin1Char('/') + name);
        if (::rename(from.constData(), to.constData()) != 0) {
            std::fprintf(stderr, "bench_install: cannot rename %s\n", from.constData());
            return 1;
        }
    }
    const double leastNeeded = microsecondsPerFile(timer, count);

    // The same count in folders: chains of ten, each folder one level deeper.
    const QString tree = folder + QStringLiteral("/tree");
    ::sync();
    writeFiles(tree + QStringLiteral("/Update"), count);
    const int folders = std::max(1, count / 10);
    timer.start();
    platform::filesystem::Replacement treeInstallation;
    treeInstallation.beneath(tree);
    for (int i = 0; i < count; ++i) {
        const int at = i % folders;
        QString path;
        for (int level = 0; level <= at % 10; ++level)
            path += QStringLiteral("d%1-%2/").arg(at / 10).arg(level);
        treeInstallation.add(tree + QStringLiteral("/Update/") + names[i], tree + QLatin1Char('/') + path + names[i]);
    }
    treeInstallation.run();
    platform::filesystem::deleteFolderFiles(tree + QStringLiteral("/Update"));
    const double inTree = microsecondsPerFile(timer, count);

    std::printf("files %d installation-us-per-file %.1f least-us-per-file %.1f tree-us-per-file %.1f folders %d depth 10\n",
                count, installed, leastNeeded, inTree, folders);
    return 0;
}

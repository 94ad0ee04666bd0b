#include "formrebuild.h"

#include "platform/core/error.h"
#include "platform/core/eventloop.h"
#include "platform/files/filedescriptor.h"
#include "platform/files/filesystem.h"
#include "platform/files/mappedfile.h"
#include "release/zstdframe.h"

#include <QFile>

#include <atomic>
#include <fcntl.h>
#include <optional>
#include <thread>

namespace update {

using platform::Error;
using platform::MappedFile;

namespace {

RebuiltFile rebuild(int form, const QString &formPath, int source, const QString &sourcePath,
                    const QString &output)
{
    const MappedFile frameBytes = MappedFile::forReading(form, formPath);
    const release::ZstdFrame frame(QByteArrayView(frameBytes.data(), frameBytes.size()), formPath);
    const MappedFile prefix = source >= 0 ? MappedFile::forReading(source, sourcePath) : MappedFile();
    const platform::FileDescriptor out = platform::filesystem::createOwnFile(output, O_RDWR);
    const MappedFile target = MappedFile::forWriting(out.get(), frame.contentSize(), output);
    return {frame.decodeInto(target.data(), QByteArrayView(prefix.data(), prefix.size())),
            frame.contentSize()};
}

} // namespace

RebuiltFile rebuildFromForm(const platform::FileDescriptor &form, const QString &formPath,
                            const platform::FileDescriptor &source, const QString &sourcePath,
                            const QString &output)
{
    std::optional<RebuiltFile> rebuilt;
    std::optional<Error> failure;
    std::atomic<bool> done = false;
    {
        // The event loop runs until the worker is done: cancel still ends
        // the program at once, and the window answers meanwhile.
        const std::jthread worker([&] {
            try {
                rebuilt = rebuild(form.get(), formPath, source.get(), sourcePath, output);
            } catch (const Error &error) {
                failure = error;
            }
            done = true;
        });
        platform::waitUntil([&] { return done.load(); }, QDeadlineTimer(QDeadlineTimer::Forever));
    }
    if (failure) {
        QFile::remove(output);
        throw *failure;
    }
    return *rebuilt;
}

} // namespace update

#include "filesystem.h"

#include "error.h"

#include <QFile>

#include <algorithm>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace fs = std::filesystem;

namespace platform::filesystem {

namespace {

constexpr auto writeBits = fs::perms::owner_write | fs::perms::group_write | fs::perms::others_write;

fs::path toPath(const QString &path)
{
    return fs::path(QFile::encodeName(path).toStdString());
}

QString toQString(const fs::path &path)
{
    return QFile::decodeName(QByteArray::fromStdString(path.string()));
}

[[noreturn]] void raise(const std::error_code &error, const fs::path &path)
{
    throw Error::fromErrno(error.value(), toQString(path));
}

bool readOnly(const fs::path &path)
{
    std::error_code error;
    const fs::file_status status = fs::status(path, error);
    return !error && fs::exists(status) && (status.permissions() & writeBits) == fs::perms::none;
}

// The regular files directly in a folder, in name order.
std::vector<fs::path> filesIn(const fs::path &folder)
{
    std::error_code error;
    fs::directory_iterator it(folder, error);
    if (error)
        raise(error == std::errc::no_such_file_or_directory ? std::make_error_code(std::errc::not_a_directory)
                                                            : error,
              folder);
    std::vector<fs::path> files;
    for (const fs::directory_entry &entry : it) {
        if (entry.is_regular_file(error))
            files.push_back(entry.path());
    }
    std::sort(files.begin(), files.end());
    return files;
}

fs::path stagingPath(const fs::path &target)
{
    // Appended piece by piece: GCC 12 at -O3 reports a false -Wrestrict for
    // the same name built with operator+.
    std::string name(1, '.');
    name.append(target.filename().string()).append(".updating");
    return target.parent_path() / name;
}

// Writes a copy of `source` beside `target`, with the target's permissions
// when it exists, so that replacing an executable keeps it executable.
fs::path stage(const fs::path &source, const fs::path &target)
{
    if (readOnly(target))
        throw Error(Error::Code::PermissionDenied, toQString(target));
    const fs::path staged = stagingPath(target);
    std::error_code error;
    fs::remove(staged, error);
    // A source that is about to be deleted can lend its content without a
    // copy; across file systems it is copied.
    fs::create_hard_link(source, staged, error);
    if (error) {
        fs::copy_file(source, staged, fs::copy_options::overwrite_existing, error);
        if (error) {
            std::error_code ignored;
            fs::remove(staged, ignored);
            raise(error, source);
        }
    }
    const fs::file_status targetStatus = fs::status(target, error);
    if (!error && fs::exists(targetStatus))
        fs::permissions(staged, targetStatus.permissions(), error);
    else
        fs::permissions(staged, fs::perms::owner_write, fs::perm_options::add, error);
    return staged;
}

// Makes what is staged durable before it becomes visible under the target's name.
void syncFolder(const fs::path &folder)
{
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd >= 0) {
        ::syncfs(fd);
        ::close(fd);
    }
}

void commit(const fs::path &staged, const fs::path &target)
{
    std::error_code error;
    fs::rename(staged, target, error);
    if (error) {
        std::error_code ignored;
        fs::remove(staged, ignored);
        raise(error, target);
    }
}

} // namespace

double folderSize(const QString &folder)
{
    const fs::path root = toPath(folder);
    std::error_code error;
    if (!fs::is_directory(root, error))
        throw Error(Error::Code::PathNotFound, folder);
    double total = 0;
    fs::recursive_directory_iterator it(root, error);
    if (error)
        raise(error, root);
    for (const fs::recursive_directory_iterator end; it != end; it.increment(error)) {
        if (error)
            raise(error, root);
        if (it->is_regular_file(error))
            total += double(it->file_size(error));
        if (error)
            raise(error, it->path());
    }
    if (error)
        raise(error, root);
    return total;
}

bool isReadOnly(const QString &path)
{
    return readOnly(toPath(path));
}

void replaceFile(const QString &source, const QString &target)
{
    const fs::path from = toPath(source);
    const fs::path to = toPath(target);
    if (!fs::is_regular_file(from))
        throw Error(Error::Code::FileNotFound, source);
    const fs::path staged = stage(from, to);
    syncFolder(to.parent_path());
    commit(staged, to);
}

void copyFolderFiles(const QString &sourceFolder, const QString &targetFolder, const QStringList &except)
{
    const fs::path destination = toPath(targetFolder);
    std::vector<fs::path> sources = filesIn(toPath(sourceFolder));
    std::erase_if(sources, [&](const fs::path &p) { return except.contains(toQString(p.filename())); });
    if (sources.empty())
        throw Error(Error::Code::FileNotFound, sourceFolder);

    std::vector<std::pair<fs::path, fs::path>> staged;
    try {
        for (const fs::path &source : sources) {
            const fs::path target = destination / source.filename();
            staged.emplace_back(stage(source, target), target);
        }
    } catch (...) {
        std::error_code ignored;
        for (const auto &entry : staged)
            fs::remove(entry.first, ignored);
        throw;
    }
    syncFolder(destination);
    for (const auto &[from, to] : staged)
        commit(from, to);
}

void deleteFolderFiles(const QString &folder)
{
    const std::vector<fs::path> files = filesIn(toPath(folder));
    if (files.empty())
        throw Error(Error::Code::FileNotFound, folder);
    for (const fs::path &file : files)
        deleteFile(toQString(file));
}

void deleteFile(const QString &path)
{
    const fs::path file = toPath(path);
    std::error_code error;
    if (!fs::is_regular_file(file, error))
        throw Error(Error::Code::FileNotFound, path);
    if (readOnly(file))
        throw Error(Error::Code::PermissionDenied, path);
    if (!fs::remove(file, error) || error)
        raise(error ? error : std::make_error_code(std::errc::no_such_file_or_directory), file);
}

} // namespace platform::filesystem

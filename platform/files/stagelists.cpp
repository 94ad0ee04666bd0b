#include "stagelists.h"

#include "platform/core/error.h"
#include "paths.h"

#include <fcntl.h>
#include <fstream>
#include <iterator>

namespace fs = std::filesystem;

namespace platform::filesystem::stagelists {

std::vector<std::string> entries(const fs::path &list, std::string_view head)
{
    std::ifstream in(list, std::ios::binary);
    const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    std::vector<std::string> found;
    if (!text.starts_with(head))
        return found;
    for (std::size_t at = head.size(), end; (end = text.find('\0', at)) != std::string::npos; at = end + 1)
        found.push_back(text.substr(at, end - at));
    return found;
}

FileDescriptor create(const fs::path &list)
{
    ::unlink(list.c_str());
    FileDescriptor file(::open(list.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!file.isOpen())
        throw Error::fromErrno(errno, paths::toQString(list));
    return file;
}

void fill(const FileDescriptor &file, const fs::path &list, std::string_view head, const std::string &entries)
{
    const std::string text = std::string(head) + entries;
    if (!writeAll(file.get(), text.data(), text.size()))
        throw Error::fromErrno(errno, paths::toQString(list));
}

bool isBelow(const fs::path &path)
{
    return !path.empty() && path.is_relative() && path.lexically_normal() == path && *path.begin() != "..";
}

} // namespace platform::filesystem::stagelists

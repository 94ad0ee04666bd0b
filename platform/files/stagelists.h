#pragma once

#include "filedescriptor.h"

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

// The installation's own lists, which a run killed half-way leaves for the
// next start: a first line naming what the list is, so that a file of the
// client's own at that name is never read as one, then entries each ended by
// a NUL. A file that lacks the line has no entries.
namespace platform::filesystem::stagelists {

std::vector<std::string> entries(const std::filesystem::path &list, std::string_view head);
// A new list at `list`, replacing whatever stands there.
FileDescriptor create(const std::filesystem::path &list);
void fill(const FileDescriptor &file, const std::filesystem::path &list, std::string_view head,
          const std::string &entries);
// Whether `path`, as a list holds it, lies below the list's folder.
bool isBelow(const std::filesystem::path &path);

} // namespace platform::filesystem::stagelists

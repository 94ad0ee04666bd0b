#pragma once

#include <QString>

#include <optional>

// The rules for a manifest line's local name: a path below the client's
// folder, its parts separated by '/' or '\' alike.
namespace localname {

// The name as the installation uses it, its parts joined by '/'; none when
// the name is refused: absolute, a drive, an empty, "." or ".." part, a
// control character, a first part that is one of the updater's own names, a
// part that is one of the installation's staging names, a part longer than a
// folder entry can be or a whole longer than a path can be.
std::optional<QString> normalised(const QString &name);

} // namespace localname

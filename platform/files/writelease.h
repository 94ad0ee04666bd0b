#pragma once

namespace platform {

// A write lease (fcntl F_SETLEASE) on the file open as `fd`, taken when no
// other open file description of the file exists. The kernel breaks it at the
// first open of the file by anyone else (this process too) and at its first
// truncation: while it holds, the file changed only through `fd` and its
// duplicates. Whoever opens the file meanwhile does not wait for it: the
// lease is given up at once. False when it cannot be taken (the file is open
// elsewhere, a file system without leases).
bool takeWriteLease(int fd);
// Whether the lease taken through `fd` (or a duplicate) still holds.
bool holdsWriteLease(int fd);

} // namespace platform

#pragma once

#include "filedescriptor.h"

#include <QString>
#include <QStringList>

#include <fcntl.h>
#include <sys/stat.h>

// The file operations of the run. A read-only file is one whose permission
// bits give write access to nobody; it is refused explicitly, so the refusal
// holds even for root.
namespace platform::filesystem {

// Whether what stat(2) told of describes a read-only regular file.
bool isReadOnlyFile(const struct stat &info);

// Total size in bytes of every regular file in the folder and all its
// subfolders; links are not followed.
double folderSize(const QString &folder);

// Copies `source` over `target`: the new content is put beside the target
// and renamed over it, so the target is always either old or new. Within one
// file system the copy shares the source's content (a hard link), so the
// source is meant to be deleted afterwards, as the installation does.
void replaceFile(const QString &source, const QString &target);

// Raises unless what stands at the path is a folder itself, not a link to
// one nor any other kind of file. Nothing at the path passes: the first file
// written into it reports the missing folder.
void refuseUnlessFolder(const QString &path);

// Raises FolderNotWritable unless this process can create a file in the
// folder and remove it again, tried with a file of its own (asking access(2)
// would answer yes to root on a read-only mount). The installation renames
// new files over old ones, so this is what replacing a file needs, whatever
// the file's own mode.
void requireWritableFolder(const QString &folder);

// Deletes what it can of the files directly in the folder (links, FIFOs and
// the like included, never followed); read-only files, subfolders and
// whatever the OS refuses to remove stay. Never fails.
void deleteFolderFiles(const QString &folder) noexcept;

// The regular file at the path, open for reading (or with `access`), if it
// is this process's own: one name only, owned by the effective user,
// writable by nobody else; a closed descriptor otherwise. A link is not
// followed.
FileDescriptor openOwnFile(const QString &path, int access = O_RDONLY);
// The same, open for appending and created when missing (mode 0644 less the
// umask), and refused also when it is read-only.
FileDescriptor appendToOwnFile(const QString &path);

// A new, empty file at the path, this process's own, mode 0644 less the
// umask, open with `access` (O_WRONLY or O_RDWR). Whatever stands there (a
// folder aside) is removed first, never written through.
FileDescriptor createOwnFile(const QString &path, int access);

// Deletes one file; FileNotFound when it is missing, PermissionDenied when it
// is read-only.
void deleteFile(const QString &path);

bool isReadOnly(const QString &path);

} // namespace platform::filesystem

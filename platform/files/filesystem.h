#pragma once

#include <QString>
#include <QStringList>

// The file operations of the run. A read-only file is one whose permission
// bits give write access to nobody; it is refused explicitly, so the refusal
// holds even for root.
namespace platform::filesystem {

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

// Deletes every file directly in the folder (links, FIFOs and the like
// included, never followed), in name order, and stops at the first read-only
// one. Subfolders stay. FileNotFound when no file matches.
void deleteFolderFiles(const QString &folder);

// Deletes one file; FileNotFound when it is missing, PermissionDenied when it
// is read-only.
void deleteFile(const QString &path);

bool isReadOnly(const QString &path);

} // namespace platform::filesystem

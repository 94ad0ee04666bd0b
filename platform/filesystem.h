#pragma once

#include <QString>
#include <QStringList>

// The file operations of the run. A read-only file is one whose permission
// bits give write access to nobody; it is refused explicitly, so the refusal
// holds even for root.
namespace platform::filesystem {

// Total size in bytes of every file in the folder and all its subfolders.
double folderSize(const QString &folder);

// Copies `source` over `target`: the new content is put beside the target
// and renamed over it, so the target is always either old or new. Within one
// file system the copy shares the source's content (a hard link), so the
// source is meant to be deleted afterwards, as the installation does.
void replaceFile(const QString &source, const QString &target);

// Copies every file directly in `sourceFolder` (but those named in `except`)
// into `targetFolder`, replacing files of the same name. Every file is staged
// beside its target first and renamed over it only once all are staged, so a
// failure replaces nothing. FileNotFound when no file matches.
void copyFolderFiles(const QString &sourceFolder, const QString &targetFolder,
                     const QStringList &except = {});

// Deletes every file directly in the folder, in name order, and stops at the
// first read-only one. FileNotFound when no file matches.
void deleteFolderFiles(const QString &folder);

// Deletes one file; FileNotFound when it is missing, PermissionDenied when it
// is read-only.
void deleteFile(const QString &path);

bool isReadOnly(const QString &path);

} // namespace platform::filesystem

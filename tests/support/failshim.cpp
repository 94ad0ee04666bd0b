// Preloaded (LD_PRELOAD) into an updater run: counts the file-system calls it
// makes on one folder and fails one of them, for the failure-point test.
//   FAILSHIM_FOLDER  the folder whose calls count (absolute, no trailing '/')
//   FAILSHIM_AT      the call that fails, counted from 1; none or 0: none
//   FAILSHIM_ERRNO   the error it fails with; 0: the process is killed
//                    (SIGKILL) there instead
// Each call counted is written on stderr as it is made, before it fails:
//   failshim call N NAME [failed|killed]
// A call counts when it names a path in the folder or works on a descriptor
// of one: open, openat, write, fsync, fdatasync, syncfs, rename, renameat,
// renameat2, link, linkat, unlink, unlinkat, mkdir, mkdirat, symlinkat, fchmod, as far
// as they go through the dynamic linker. Each goes on as its system call,
// with no look-up of the next definition: that needs the allocator, which a
// sanitizer's runtime may not have ready when its first file is opened.

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace {

// Plain values, set before main: nothing that a later initialiser could reset.
const char *folder = nullptr;
std::size_t folderSize = 0;
long failAt = 0;
int failWith = 0;
std::atomic<long> calls{0};

[[gnu::constructor]] void configure()
{
    if (const char *value = std::getenv("FAILSHIM_FOLDER")) {
        folder = value;
        folderSize = std::strlen(value);
    }
    if (const char *value = std::getenv("FAILSHIM_AT"))
        failAt = std::atol(value);
    if (const char *value = std::getenv("FAILSHIM_ERRNO"))
        failWith = std::atoi(value);
}

std::string linkTarget(const std::string &link)
{
    char target[4096];
    const ssize_t n = ::readlink(link.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, std::size_t(n)) : std::string();
}

bool inFolder(const std::string &path)
{
    return folderSize > 0 && path.compare(0, folderSize, folder) == 0
           && (path.size() == folderSize || path[folderSize] == '/');
}

bool descriptorInFolder(int fd)
{
    return folderSize > 0 && inFolder(linkTarget("/proc/self/fd/" + std::to_string(fd)));
}

bool pathInFolder(int dirfd, const char *path)
{
    if (!path || folderSize == 0)
        return false;
    std::string full = path;
    if (full.starts_with("/proc/self/fd/"))
        full = linkTarget(full);
    else if (!full.starts_with("/")) {
        char cwd[4096];
        const std::string base = dirfd == AT_FDCWD ? std::string(::getcwd(cwd, sizeof cwd) ? cwd : "")
                                                   : linkTarget("/proc/self/fd/" + std::to_string(dirfd));
        full = base + '/' + full;
    }
    return inFolder(full);
}

// The error the call `name` fails with, 0 for none; the call that kills never returns.
int fault(const char *name, bool counted)
{
    if (!counted)
        return 0;
    const long call = calls.fetch_add(1) + 1;
    const bool fails = call == failAt;
    char line[96];
    const int n = std::snprintf(line, sizeof line, "failshim call %ld %s%s\n", call, name,
                                !fails ? "" : failWith ? " failed" : " killed");
    if (n > 0 && ::write(2, line, std::size_t(n)) < 0)
        ::_exit(126);
    if (!fails)
        return 0;
    if (failWith == 0)
        ::kill(::getpid(), SIGKILL);
    return failWith;
}

template <typename Result>
Result failing(int error)
{
    errno = error;
    return Result(-1);
}

mode_t modeOf(int flags, va_list arguments)
{
    return (flags & O_CREAT) || (flags & O_TMPFILE) == O_TMPFILE ? mode_t(va_arg(arguments, int)) : 0;
}

} // namespace

extern "C" {

int openat(int dirfd, const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    if (const int error = fault("openat", pathInFolder(dirfd, path)))
        return failing<int>(error);
    return int(::syscall(SYS_openat, dirfd, path, flags, mode));
}


ssize_t write(int fd, const void *data, size_t size)
{
    if (const int error = fault("write", fd > 2 && descriptorInFolder(fd)))
        return failing<ssize_t>(error);
    return ssize_t(::syscall(SYS_write, fd, data, size));
}

int fsync(int fd)
{
    if (const int error = fault("fsync", descriptorInFolder(fd)))
        return failing<int>(error);
    return int(::syscall(SYS_fsync, fd));
}

int fdatasync(int fd)
{
    if (const int error = fault("fdatasync", descriptorInFolder(fd)))
        return failing<int>(error);
    return int(::syscall(SYS_fdatasync, fd));
}

int syncfs(int fd)
{
    if (const int error = fault("syncfs", descriptorInFolder(fd)))
        return failing<int>(error);
    return int(::syscall(SYS_syncfs, fd));
}

int fchmod(int fd, mode_t mode)
{
    if (const int error = fault("fchmod", descriptorInFolder(fd)))
        return failing<int>(error);
    return int(::syscall(SYS_fchmod, fd, mode));
}

int rename(const char *from, const char *to)
{
    if (const int error = fault("rename", pathInFolder(AT_FDCWD, from) || pathInFolder(AT_FDCWD, to)))
        return failing<int>(error);
    return int(::syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0));
}

int renameat(int fromDir, const char *from, int toDir, const char *to)
{
    if (const int error = fault("renameat", pathInFolder(fromDir, from) || pathInFolder(toDir, to)))
        return failing<int>(error);
    return int(::syscall(SYS_renameat2, fromDir, from, toDir, to, 0));
}

int renameat2(int fromDir, const char *from, int toDir, const char *to, unsigned int flags)
{
    if (const int error = fault("renameat2", pathInFolder(fromDir, from) || pathInFolder(toDir, to)))
        return failing<int>(error);
    return int(::syscall(SYS_renameat2, fromDir, from, toDir, to, flags));
}

int link(const char *from, const char *to)
{
    if (const int error = fault("link", pathInFolder(AT_FDCWD, from) || pathInFolder(AT_FDCWD, to)))
        return failing<int>(error);
    return int(::syscall(SYS_linkat, AT_FDCWD, from, AT_FDCWD, to, 0));
}

int linkat(int fromDir, const char *from, int toDir, const char *to, int flags)
{
    if (const int error = fault("linkat", pathInFolder(fromDir, from) || pathInFolder(toDir, to)))
        return failing<int>(error);
    return int(::syscall(SYS_linkat, fromDir, from, toDir, to, flags));
}

int unlink(const char *path)
{
    if (const int error = fault("unlink", pathInFolder(AT_FDCWD, path)))
        return failing<int>(error);
    return int(::syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}

int unlinkat(int dirfd, const char *path, int flags)
{
    if (const int error = fault("unlinkat", pathInFolder(dirfd, path)))
        return failing<int>(error);
    return int(::syscall(SYS_unlinkat, dirfd, path, flags));
}

int mkdir(const char *path, mode_t mode)
{
    if (const int error = fault("mkdir", pathInFolder(AT_FDCWD, path)))
        return failing<int>(error);
    return int(::syscall(SYS_mkdirat, AT_FDCWD, path, mode));
}

int mkdirat(int dirfd, const char *path, mode_t mode)
{
    if (const int error = fault("mkdirat", pathInFolder(dirfd, path)))
        return failing<int>(error);
    return int(::syscall(SYS_mkdirat, dirfd, path, mode));
}

int symlinkat(const char *target, int dirfd, const char *path)
{
    if (const int error = fault("symlinkat", pathInFolder(dirfd, path)))
        return failing<int>(error);
    return int(::syscall(SYS_symlinkat, target, dirfd, path));
}

int open(const char *path, int flags, ...)
{
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeOf(flags, arguments);
    va_end(arguments);
    return openat(AT_FDCWD, path, flags, mode);
}

// The same calls by their large-file names, which glibc's headers may choose.
[[gnu::alias("open")]] int open64(const char *path, int flags, ...);
[[gnu::alias("openat")]] int openat64(int dirfd, const char *path, int flags, ...);

} // extern "C"

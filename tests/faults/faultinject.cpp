// Loaded with LD_PRELOAD, makes one call of the file system fail, so that a script can fail
// each call of a run in turn. Only calls on paths under FOLIMBRA_FAULT_UNDER count; the rest of
// the process (Qt's plugins, the locale, /proc) is left alone.
//
//   FOLIMBRA_FAULT_UNDER   absolute folder whose calls count (required)
//   FOLIMBRA_FAULT_COUNTS  file that holds the counts of every kind, shared with the run as it
//                          goes: a run that ends with _exit or is killed still leaves them
//   FOLIMBRA_FAULT_CALL    the kind to fail: open, write, sync, fallocate, link, rename, attr,
//                          close, readdir, stat
//   FOLIMBRA_FAULT_N       which call of that kind fails, from 1
//   FOLIMBRA_FAULT_ERRNO   EIO, ENOSPC, EACCES, EROFS, EDQUOT, EFBIG, EMFILE, ENFILE, ENOMEM,
//                          ENXIO or ESTALE (EIO when unset)
//   FOLIMBRA_FAULT_SHORT   N: each write or pwrite under the folder writes at most N bytes, as
//                          a signal or a nearly full disk may leave one; nothing fails
//   FOLIMBRA_FAULT_TMPFILE EOPNOTSUPP, EISDIR or EINVAL: every unnamed file (O_TMPFILE) under
//                          the folder fails with it, as on a file system that makes none
//
// The counts file is struct Shared as it lies in memory: a 64-bit count for each kind in the
// order of kindNames, then the kind that failed (1 + its index, 0 before) and the failed path.

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dlfcn.h>

#include <dirent.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace {

enum Kind {
    Open,
    Write,
    Sync,
    Fallocate,
    Link,
    Rename,
    Attr,
    Close,
    Readdir,
    Stat,
    Kinds
};
constexpr const char *kindNames[Kinds] = {"open",   "write", "sync",  "fallocate", "link",
                                          "rename", "attr",  "close", "readdir",   "stat"};

struct Shared
{
    std::atomic<long> calls[Kinds];
    std::atomic<int> fired;
    char firedPath[4096];
};

struct State
{
    bool ready = false;
    char under[4096] = {};
    std::size_t underLength = 0;
    int failKind = -1;
    long failAt = 0;
    int error = EIO;
    int tmpfileError = 0;
    std::size_t shortWrites = 0;
    Shared *shared = nullptr;
    Shared local{};
};

State state;
std::atomic<int> initialising{0};

template <typename F> F real(const char *name)
{
    return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

int errorCode(const char *name, int otherwise)
{
    static const struct
    {
        const char *name;
        int code;
    } codes[] = {{"ENOSPC", ENOSPC},         {"EACCES", EACCES}, {"EROFS", EROFS},
                 {"EDQUOT", EDQUOT},         {"EFBIG", EFBIG},   {"EMFILE", EMFILE},
                 {"ENFILE", ENFILE},         {"ENOMEM", ENOMEM}, {"ENXIO", ENXIO},
                 {"ESTALE", ESTALE},         {"EISDIR", EISDIR}, {"EINVAL", EINVAL},
                 {"EOPNOTSUPP", EOPNOTSUPP}, {"EIO", EIO}};
    for (const auto &code : codes) {
        if (std::strcmp(name, code.name) == 0)
            return code.code;
    }
    return otherwise;
}

void setUp()
{
    const char *under = std::getenv("FOLIMBRA_FAULT_UNDER");
    if (under == nullptr || under[0] != '/')
        return;
    std::snprintf(state.under, sizeof state.under, "%s", under);
    state.underLength = std::strlen(state.under);
    while (state.underLength > 1 && state.under[state.underLength - 1] == '/')
        state.under[--state.underLength] = '\0';
    if (const char *call = std::getenv("FOLIMBRA_FAULT_CALL")) {
        for (int kind = 0; kind < Kinds; ++kind) {
            if (std::strcmp(call, kindNames[kind]) == 0)
                state.failKind = kind;
        }
    }
    if (const char *n = std::getenv("FOLIMBRA_FAULT_N"))
        state.failAt = std::atol(n);
    if (const char *error = std::getenv("FOLIMBRA_FAULT_ERRNO"))
        state.error = errorCode(error, EIO);
    if (const char *error = std::getenv("FOLIMBRA_FAULT_TMPFILE"))
        state.tmpfileError = errorCode(error, 0);
    if (const char *most = std::getenv("FOLIMBRA_FAULT_SHORT"))
        state.shortWrites = std::size_t(std::atol(most));
    state.shared = &state.local;
    if (const char *counts = std::getenv("FOLIMBRA_FAULT_COUNTS")) {
        const int fd = real<int (*)(const char *, int, ...)>("open")(
            counts, O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd >= 0 && ftruncate(fd, sizeof(Shared)) == 0) {
            void *map = mmap(nullptr, sizeof(Shared), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            if (map != MAP_FAILED)
                state.shared = static_cast<Shared *>(map);
        }
        if (fd >= 0)
            real<int (*)(int)>("close")(fd);
    }
    state.ready = true;
}

bool prepared()
{
    if (!state.ready && initialising.exchange(1) == 0)
        setUp();
    return state.ready;
}

bool isUnder(const char *path)
{
    return std::strncmp(path, state.under, state.underLength) == 0
           && (path[state.underLength] == '/' || path[state.underLength] == '\0');
}

// The path of `fd`, or of `name` in the folder open as `fd`; empty when it cannot be told.
void pathOf(int fd, const char *name, char *out, std::size_t size)
{
    out[0] = '\0';
    if (name != nullptr && name[0] == '/') {
        std::snprintf(out, size, "%s", name);
        return;
    }
    char link[64];
    ssize_t length;
    if (fd == AT_FDCWD) {
        if (getcwd(out, size) == nullptr)
            return;
        length = ssize_t(std::strlen(out));
    } else {
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        length = readlink(link, out, size - 1);
        if (length < 0) {
            out[0] = '\0';
            return;
        }
        out[length] = '\0';
    }
    if (name != nullptr && name[0] != '\0')
        std::snprintf(out + length, size - std::size_t(length), "/%s", name);
}

// Whether this call is the one to fail; counts it where it is on a path under the folder.
bool failsHere(Kind kind, int fd, const char *name = nullptr, int flags = 0)
{
    if (!prepared())
        return false;
    const int saved = errno;
    char path[4096];
    pathOf(fd, name, path, sizeof path);
    errno = saved;
    if (!isUnder(path))
        return false;
    if (state.tmpfileError != 0 && kind == Open && (flags & O_TMPFILE) == O_TMPFILE) {
        errno = state.tmpfileError;
        return true;
    }
    const long call = state.shared->calls[kind].fetch_add(1) + 1;
    if (kind != state.failKind || call != state.failAt)
        return false;
    std::snprintf(state.shared->firedPath, sizeof state.shared->firedPath, "%s", path);
    state.shared->fired.store(kind + 1);
    errno = state.error;
    return true;
}

// How much of a write of `size` bytes to `fd` to pass on.
std::size_t passedOn(int fd, std::size_t size)
{
    if (state.shortWrites == 0 || size <= state.shortWrites)
        return size;
    const int saved = errno;
    char path[4096];
    pathOf(fd, nullptr, path, sizeof path);
    errno = saved;
    return isUnder(path) ? state.shortWrites : size;
}

mode_t modeArgument(int flags, va_list arguments)
{
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? va_arg(arguments, mode_t)
                                                                      : 0;
}

} // namespace

#define FORWARD(name, type) static const auto next = real<type>(name)

extern "C" {

int openat(int fd, const char *path, int flags, ...)
{
    FORWARD("openat", int (*)(int, const char *, int, ...));
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return failsHere(Open, fd, path, flags) ? -1 : next(fd, path, flags, mode);
}
int openat64(int fd, const char *path, int flags, ...)
{
    FORWARD("openat64", int (*)(int, const char *, int, ...));
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return failsHere(Open, fd, path, flags) ? -1 : next(fd, path, flags, mode);
}
int open(const char *path, int flags, ...)
{
    FORWARD("open", int (*)(const char *, int, ...));
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return failsHere(Open, AT_FDCWD, path, flags) ? -1 : next(path, flags, mode);
}
int open64(const char *path, int flags, ...)
{
    FORWARD("open64", int (*)(const char *, int, ...));
    va_list arguments;
    va_start(arguments, flags);
    const mode_t mode = modeArgument(flags, arguments);
    va_end(arguments);
    return failsHere(Open, AT_FDCWD, path, flags) ? -1 : next(path, flags, mode);
}

ssize_t write(int fd, const void *data, size_t size)
{
    FORWARD("write", ssize_t(*)(int, const void *, size_t));
    return failsHere(Write, fd) ? -1 : next(fd, data, passedOn(fd, size));
}
ssize_t pwrite64(int fd, const void *data, size_t size, off_t offset)
{
    FORWARD("pwrite64", ssize_t(*)(int, const void *, size_t, off_t));
    return failsHere(Write, fd) ? -1 : next(fd, data, passedOn(fd, size), offset);
}
ssize_t pwrite(int fd, const void *data, size_t size, off_t offset)
{
    FORWARD("pwrite", ssize_t(*)(int, const void *, size_t, off_t));
    return failsHere(Write, fd) ? -1 : next(fd, data, passedOn(fd, size), offset);
}
ssize_t writev(int fd, const struct iovec *parts, int count)
{
    FORWARD("writev", ssize_t(*)(int, const struct iovec *, int));
    return failsHere(Write, fd) ? -1 : next(fd, parts, count);
}

int fsync(int fd)
{
    FORWARD("fsync", int (*)(int));
    return failsHere(Sync, fd) ? -1 : next(fd);
}
int fdatasync(int fd)
{
    FORWARD("fdatasync", int (*)(int));
    return failsHere(Sync, fd) ? -1 : next(fd);
}
int syncfs(int fd)
{
    FORWARD("syncfs", int (*)(int));
    return failsHere(Sync, fd) ? -1 : next(fd);
}

// A reservation that runs out of room may have lengthened the file before it fails: the failure
// does so, so that what the program leaves behind is checked at its worst.
static int reservedAndFailed(int (*next)(int, int, off_t, off_t), int fd, int mode, off_t offset,
                             off_t length)
{
    const int error = errno;
    next(fd, mode, offset, length);
    errno = error;
    return -1;
}

int fallocate64(int fd, int mode, off_t offset, off_t length)
{
    FORWARD("fallocate64", int (*)(int, int, off_t, off_t));
    return failsHere(Fallocate, fd) ? reservedAndFailed(next, fd, mode, offset, length)
                                    : next(fd, mode, offset, length);
}
int fallocate(int fd, int mode, off_t offset, off_t length)
{
    FORWARD("fallocate", int (*)(int, int, off_t, off_t));
    return failsHere(Fallocate, fd) ? reservedAndFailed(next, fd, mode, offset, length)
                                    : next(fd, mode, offset, length);
}
// posix_fallocate reports its error as its value, not in errno.
int posix_fallocate64(int fd, off_t offset, off_t length)
{
    FORWARD("posix_fallocate64", int (*)(int, off_t, off_t));
    return failsHere(Fallocate, fd) ? errno : next(fd, offset, length);
}
int posix_fallocate(int fd, off_t offset, off_t length)
{
    FORWARD("posix_fallocate", int (*)(int, off_t, off_t));
    return failsHere(Fallocate, fd) ? errno : next(fd, offset, length);
}

int linkat(int fromFd, const char *from, int toFd, const char *to, int flags)
{
    FORWARD("linkat", int (*)(int, const char *, int, const char *, int));
    return failsHere(Link, toFd, to) ? -1 : next(fromFd, from, toFd, to, flags);
}
int renameat(int fromFd, const char *from, int toFd, const char *to)
{
    FORWARD("renameat", int (*)(int, const char *, int, const char *));
    return failsHere(Rename, toFd, to) ? -1 : next(fromFd, from, toFd, to);
}
int renameat2(int fromFd, const char *from, int toFd, const char *to, unsigned flags)
{
    FORWARD("renameat2", int (*)(int, const char *, int, const char *, unsigned));
    return failsHere(Rename, toFd, to) ? -1 : next(fromFd, from, toFd, to, flags);
}
int rename(const char *from, const char *to)
{
    FORWARD("rename", int (*)(const char *, const char *));
    return failsHere(Rename, AT_FDCWD, to) ? -1 : next(from, to);
}

int fchmod(int fd, mode_t mode)
{
    FORWARD("fchmod", int (*)(int, mode_t));
    return failsHere(Attr, fd) ? -1 : next(fd, mode);
}
int fchown(int fd, uid_t user, gid_t group)
{
    FORWARD("fchown", int (*)(int, uid_t, gid_t));
    return failsHere(Attr, fd) ? -1 : next(fd, user, group);
}
int fsetxattr(int fd, const char *name, const void *value, size_t size, int flags)
{
    FORWARD("fsetxattr", int (*)(int, const char *, const void *, size_t, int));
    return failsHere(Attr, fd) ? -1 : next(fd, name, value, size, flags);
}

// As Linux does: the descriptor is gone even when close reports an error.
int close(int fd)
{
    FORWARD("close", int (*)(int));
    const bool fails = failsHere(Close, fd);
    const int error = errno;
    const int result = next(fd);
    if (!fails)
        return result;
    errno = error;
    return -1;
}

ssize_t getdents64(int fd, void *buffer, size_t size)
{
    FORWARD("getdents64", ssize_t(*)(int, void *, size_t));
    return failsHere(Readdir, fd) ? -1 : next(fd, buffer, size);
}
struct dirent *readdir(DIR *dir)
{
    FORWARD("readdir", struct dirent * (*)(DIR *));
    return failsHere(Readdir, dirfd(dir)) ? nullptr : next(dir);
}
struct dirent64 *readdir64(DIR *dir)
{
    FORWARD("readdir64", struct dirent64 * (*)(DIR *));
    return failsHere(Readdir, dirfd(dir)) ? nullptr : next(dir);
}

int fstatat(int fd, const char *path, struct stat *st, int flags)
{
    FORWARD("fstatat", int (*)(int, const char *, struct stat *, int));
    return failsHere(Stat, fd, path) ? -1 : next(fd, path, st, flags);
}
int fstatat64(int fd, const char *path, struct stat64 *st, int flags)
{
    FORWARD("fstatat64", int (*)(int, const char *, struct stat64 *, int));
    return failsHere(Stat, fd, path) ? -1 : next(fd, path, st, flags);
}
int statx(int fd, const char *path, int flags, unsigned mask, struct statx *st)
{
    FORWARD("statx", int (*)(int, const char *, int, unsigned, struct statx *));
    return failsHere(Stat, fd, path) ? -1 : next(fd, path, flags, mask, st);
}
int fstat(int fd, struct stat *st)
{
    FORWARD("fstat", int (*)(int, struct stat *));
    return failsHere(Stat, fd) ? -1 : next(fd, st);
}
int fstat64(int fd, struct stat64 *st)
{
    FORWARD("fstat64", int (*)(int, struct stat64 *));
    return failsHere(Stat, fd) ? -1 : next(fd, st);
}
int stat(const char *path, struct stat *st)
{
    FORWARD("stat", int (*)(const char *, struct stat *));
    return failsHere(Stat, AT_FDCWD, path) ? -1 : next(path, st);
}
int stat64(const char *path, struct stat64 *st)
{
    FORWARD("stat64", int (*)(const char *, struct stat64 *));
    return failsHere(Stat, AT_FDCWD, path) ? -1 : next(path, st);
}
int lstat(const char *path, struct stat *st)
{
    FORWARD("lstat", int (*)(const char *, struct stat *));
    return failsHere(Stat, AT_FDCWD, path) ? -1 : next(path, st);
}
int lstat64(const char *path, struct stat64 *st)
{
    FORWARD("lstat64", int (*)(const char *, struct stat64 *));
    return failsHere(Stat, AT_FDCWD, path) ? -1 : next(path, st);
}

} // extern "C"

// The named-object store's system calls, all through one table (qelSys.cpp), so that a test
// can make any one of them fail, or stop or kill the process right there, and so learn what
// every step of creating, opening, copying, closing and removing leaves behind. Each wrapper
// has the system call's own signature and result (posix_fallocate included: an error number).
// Nothing here leaves libzoltov.so; the testing hooks are in qelTesting.h.
#ifndef ZOLTOV_PLATFORM_QELSYS_H
#define ZOLTOV_PLATFORM_QELSYS_H

#include <fcntl.h>
#include <stddef.h>
#include <sys/stat.h>
#include <sys/types.h>

namespace qel {
namespace sys {

int open(const char* path, int flags);
int openat(int dir, const char* path, int flags, mode_t mode = 0);
int close(int fd);
int fstat(int fd, struct stat* st);
int fstatat(int dir, const char* path, struct stat* st, int flags);
void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset);
int munmap(void* address, size_t length);
// mremap with MREMAP_MAYMOVE, and MREMAP_FIXED when at is not null.
void* mremap(void* old, size_t oldLength, size_t newLength, void* at);
int linkat(int fromDir, const char* from, int toDir, const char* to, int flags);
int unlinkat(int dir, const char* path, int flags);
int mkdirat(int dir, const char* path, mode_t mode);
int fchmod(int fd, mode_t mode);
int posix_fallocate(int fd, off_t offset, off_t length);
int fcntl(int fd, int command, struct flock* lock);
int dupAbove(int fd, int lowest);  // fcntl F_DUPFD_CLOEXEC
ssize_t pread(int fd, void* buffer, size_t count, off_t offset);
ssize_t readlinkat(int dir, const char* path, char* buffer, size_t size);
ssize_t getdents(int fd, void* buffer, size_t size);
off_t lseek(int fd, off_t offset, int whence);

}  // namespace sys
}  // namespace qel

#endif  // ZOLTOV_PLATFORM_QELSYS_H

// SPDX-License-Identifier: Apache-2.0
#include "safe_open.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

namespace {

// Whether `fd` is a regular file, which is then made blocking again so that
// it is written with ordinary blocking writes; false with errno set
// otherwise (EINVAL for anything that is not a regular file).
bool regular_and_blocking(int fd) {
    struct stat st;
    if (::fstat(fd, &st) != 0) return false;
    if (!S_ISREG(st.st_mode)) {
        errno = EINVAL;
        return false;
    }
    const int flags = ::fcntl(fd, F_GETFL);
    return flags != -1 && ::fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) == 0;
}

}  // namespace

int open_for_writing(const char* path, write_mode mode, bool* created) {
    // O_NOFOLLOW refuses a symbolic link as the last component (a linked
    // directory above it still works), O_NONBLOCK keeps a FIFO from blocking
    // the open, O_NOCTTY keeps a terminal from becoming the process's
    // controlling one.  Close-on-exec: programs the application executes must
    // not inherit the library's files.  Created once with O_EXCL, so that the
    // caller learns whether the file is its own.  Nobody else may write into
    // a file the library creates.
    const int flags = O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY |
                      (mode == write_mode::append ? O_APPEND : 0);
    constexpr mode_t kMode = S_IRUSR | S_IWUSR | S_IRGRP | S_IROTH;
    int fd = ::open(path, flags | O_EXCL, kMode);
    const bool made = fd >= 0;
    if (fd < 0 && errno == EEXIST) fd = ::open(path, flags, kMode);
    if (created != nullptr) *created = made;
    if (fd < 0) return -1;

    // Emptied only now: O_TRUNC would have truncated whatever the name
    // turned out to be before it could be looked at.
    if (regular_and_blocking(fd) &&
        (made || mode == write_mode::append || ::ftruncate(fd, 0) == 0))
        return fd;
    const int error = errno;
    if (made) ::unlink(path);  // empty, and nobody else knows it is ours
    ::close(fd);
    errno = error;
    return -1;
}

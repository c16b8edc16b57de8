// SPDX-License-Identifier: Apache-2.0
// Opening a file the library writes (a log file, the statistics summary)
// under a name others can predict, in a directory others may write to: they
// may have planted a symbolic link, a FIFO, a device or a directory there.
//
// Owns no state.  Callers: the log (with dgfileDebugLock held) and the
// statistics' exit-time writer (no lock held); any thread.
#pragma once

// What happens to what the file already holds.
enum class write_mode {
    append,    // kept; every write goes to the end (O_APPEND)
    truncate,  // dropped, once the file proved to be a regular file
};

// Opens `path` write-only for blocking writes, close-on-exec, creating it
// with mode 0644 before the umask.  A symbolic link as the last component is
// not followed, a FIFO is never waited on, a terminal never becomes the
// controlling one, and only a regular file is kept: anything else fails.
// Returns the descriptor, or -1 with errno set (ELOOP for a link, ENXIO for a
// FIFO without a reader, EINVAL for anything else that is no regular file).
// *created, when not null, says whether this call created the file; a file
// it created is removed again when a later check fails.
int open_for_writing(const char* path, write_mode mode, bool* created);

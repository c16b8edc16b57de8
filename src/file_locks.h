// SPDX-License-Identifier: Apache-2.0
// Locks shared by every file handle on one file.
//
// The CPU copy clears O_DIRECT, seeks and restores the flags on the
// application's descriptor.  Status flags and position belong to the open
// file description, which a second handle on the same descriptor or on a
// dup() of it shares: two copies at once would read each other's ranges or
// restore O_DIRECT under each other's read.  Every handle on one file
// (device and inode from fstat at registration) therefore holds the same
// lock and takes it around its CPU copy.  Keying by inode also joins
// descriptors opened separately on the same file, which need no lock; that
// costs only parallelism between their CPU copies.
//
// Owns: the registry of locks, one per file with a registered handle,
// reference-counted by the handles.  Callers: file_handle_t (registration,
// deregistration, each CPU copy).  Locks: the registry's own mutex, a leaf
// held only inside acquire and release; a file lock is taken inside the
// handle's mutex and may be held while the log's lock is taken.
#pragma once

#include <sys/types.h>

#include <mutex>
#include <utility>

// One file's lock.  Callers use `mutex` only.
struct file_lock_t {
    std::mutex mutex;
    unsigned refs = 0;              // guarded by the registry's mutex
    std::pair<dev_t, ino_t> key{};  // constant after creation
};

// The lock of the file (st_dev, st_ino), created on first use; each acquire
// must be matched by one release.  Null when no memory is left.
file_lock_t* file_lock_acquire(dev_t dev, ino_t ino);
void file_lock_release(file_lock_t* lock);

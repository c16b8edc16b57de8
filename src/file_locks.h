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
// held only inside acquire and release, and held across fork so that a
// child never finds the registry half-changed; the file locks themselves are
// fork-safe (fork_safe_mutex.h).  Their place in the lock order:
// src/README.md.
#pragma once

#include <sys/types.h>

#include <utility>

#include "fork_safe_mutex.h"

// One file's lock.  Callers use `mutex` only.
struct file_lock_t {
    fork_safe_mutex mutex;
    unsigned refs = 0;              // guarded by the registry's mutex
    std::pair<dev_t, ino_t> key{};  // constant after creation
};

// The lock of the file (st_dev, st_ino), created on first use; each acquire
// must be matched by one release.  Null when no memory is left.
file_lock_t* file_lock_acquire(dev_t dev, ino_t ino);
void file_lock_release(file_lock_t* lock);

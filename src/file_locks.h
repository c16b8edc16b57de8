// SPDX-License-Identifier: Apache-2.0
// Locks that make the CPU copies of handles sharing an open file take turns.
//
// The CPU copy clears O_DIRECT, seeks and restores the flags on the
// application's descriptor.  Status flags and position belong to the open
// file description, which a second handle on the same descriptor, on a dup()
// of it or on one inherited across fork shares: two copies at once would read
// each other's ranges or restore O_DIRECT under each other's read.  Every
// handle therefore takes the lock of its description around its CPU copy.
// Descriptors opened separately on one file (a second open(), a reopen
// through /proc/self/fd) have descriptions, and locks, of their own, and
// their copies run at once.
//
// The key: the registry groups locks by file (device and inode from fstat)
// and, for each description with a registered handle, lists the descriptors
// of its handles.  A new registration compares its descriptor with one
// listed descriptor of each description of its file (kcmp KCMP_FILE): a
// match shares that lock, none makes a new one.  A listed descriptor is one
// of a live handle, which the application keeps open while the handle lives,
// so it still names its description; the registry keeps no descriptor of its
// own (closing one would drop the process's POSIX record locks on the file).
//
// Where the kernel cannot tell, the handle takes its file's whole lock
// instead, which excludes every other CPU copy of that file, a keyed one or
// not: this costs only parallelism.  That happens when
//   - kcmp fails: ENOSYS on a kernel built without it, EPERM where a
//     security policy (a seccomp filter) forbids it, or any other error;
//   - fstat fails on the descriptor: all such handles share one file, (0, 0),
//     which no real file is (inode 0 is never used);
//   - the description is new to the registry and there is no memory for its
//     lock.
//
// Owns: the registry: one entry per file with a registered handle, holding
// the file's whole lock and its descriptions' locks, each counting its
// handles.  Callers: file_handle_t (registration, deregistration, each CPU
// copy).  Locks: the registry's own mutex, a leaf held only inside acquire
// and release, and held across fork so that a child never finds the
// registry half-changed; under it run only the kcmp comparisons and the
// map's node.  A file's lock and its descriptions' locks are fork-safe
// (fork_safe_mutex.h): a keyed copy holds the file's lock shared, then its
// description's; an unkeyed one holds the file's lock alone, whole.  Their
// place in the lock order: src/README.md.
#pragma once

#include <sys/stat.h>

#include "fork_safe_mutex.h"
#include "thread_annotations.h"

struct file_entry_t;  // the registry's record of one file (file_locks.cpp)

// One handle's place in its description's list; lives in the handle.
struct file_lock_user_t {
    int fd = -1;                       // the handle's descriptor; constant
    file_lock_user_t* next = nullptr;  // guarded by the registry's mutex
};

// The lock a handle takes around each CPU copy: its open file description's,
// or, where the registry could not tell the description, its file's whole
// lock.  Callers use lock() and unlock() only; the rest is the registry's.
struct CAPABILITY("mutex") file_lock_t {
    void lock() ACQUIRE();
    void unlock() RELEASE();

    file_entry_t* file = nullptr;         // constant after creation
    bool whole = false;                   // the file's whole lock; constant
    unsigned refs = 0;                    // guarded by the registry's mutex
    file_lock_user_t* users = nullptr;    // the handles' descriptors; registry's mutex
    file_lock_t* next = nullptr;          // the file's next description; registry's mutex
    fork_safe_mutex mutex;                // the description's (unused for the whole lock)
};

// The lock of a handle on user->fd, whose fstat gave `st` (null when it
// failed); `user` joins its list until the matching release.  Null only when
// no memory is left for the file's entry.
file_lock_t* file_lock_acquire(file_lock_user_t* user, const struct stat* st);
void file_lock_release(file_lock_t* lock, file_lock_user_t* user);

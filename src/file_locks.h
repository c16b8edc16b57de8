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
// and keeps, for each description with a registered handle, a close-on-exec
// duplicate of the first descriptor registered on it.  A new registration
// compares its descriptor with each kept one of its file (kcmp KCMP_FILE): a
// match shares that lock, none makes a new one.  Comparing with the
// registry's own duplicate, never with the application's number, means a
// number closed and reused for another open is not taken for the old one.
// The duplicate holds the description open until the description's last
// handle is deregistered; closing it then releases the process's POSIX
// record locks (F_SETLK) on the file, as any close of a descriptor of it does.
//
// Where the kernel cannot tell, the handle takes its file's whole lock
// instead, which excludes every other CPU copy of that file, a keyed one or
// not: this costs only parallelism.  That happens when
//   - kcmp fails: ENOSYS on a kernel built without it, EPERM where a
//     security policy (a seccomp filter) forbids it, or any other error;
//   - fstat fails on the descriptor: all such handles share one file, (0, 0),
//     which no real file is (inode 0 is never used);
//   - the description is new to the registry and its duplicate cannot be
//     made (EMFILE, ENFILE: the process or the system has no descriptor
//     left), or there is no memory for its lock.  A description the registry
//     already knows needs neither and always finds its lock.
//
// Owns: the registry: one entry per file with a registered handle, holding
// the file's whole lock and its descriptions' locks, each reference-counted
// by the handles, and the duplicates.  Callers: file_handle_t (registration,
// deregistration, each CPU copy).  Locks: the registry's own mutex, a leaf
// held only inside acquire and release, and held across fork so that a child
// never finds the registry half-changed; under it run only the kcmp
// comparisons, the duplicate of a new description and the map's node (no
// close, no wait).  A file's lock and its descriptions' locks are fork-safe
// (fork_safe_mutex.h): a keyed copy holds the file's lock shared, then its
// description's; an unkeyed one holds the file's lock alone, whole.  Their
// place in the lock order: src/README.md.
#pragma once

#include <sys/stat.h>

#include "fork_safe_mutex.h"

struct file_entry_t;  // the registry's record of one file (file_locks.cpp)

// The lock a handle takes around each CPU copy: its open file description's,
// or, where the registry could not tell the description, its file's whole
// lock.  Callers use lock() and unlock() only; the rest is the registry's.
struct file_lock_t {
    void lock();
    void unlock();

    file_entry_t* file = nullptr;  // constant after creation
    int kept = -1;                 // the duplicate; -1: the file's whole lock.  Constant.
    unsigned refs = 0;             // guarded by the registry's mutex
    file_lock_t* next = nullptr;   // the file's next description; registry's mutex
    fork_safe_mutex mutex;         // the description's (unused for the whole lock)
};

// The lock of a handle on `fd`, whose fstat gave `st` (null when it failed);
// each acquire must be matched by one release.  Null only when no memory is
// left for the file's entry.
file_lock_t* file_lock_acquire(int fd, const struct stat* st);
void file_lock_release(file_lock_t* lock);

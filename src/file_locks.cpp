// SPDX-License-Identifier: Apache-2.0
#include "file_locks.h"

#include <pthread.h>

#include <map>
#include <new>

#include "thread_annotations.h"

namespace {

// Constant-initialised mutex; the map is built on first use and never
// destroyed, so that a handle released during exit still finds it.
annotated_mutex registry_mutex;

// The map, and each entry's `refs`, only under registry_mutex.
std::map<std::pair<dev_t, ino_t>, file_lock_t>& registry() REQUIRES(registry_mutex) {
    static auto* locks = new std::map<std::pair<dev_t, ino_t>, file_lock_t>;
    return *locks;
}

// The registry's mutex is held across fork: a thread of the parent may be
// inside the map when another forks.  Registered before the mutex is first
// taken, so every fork that can find it held runs the handlers.
void fork_prepare() ACQUIRE(registry_mutex) { registry_mutex.lock(); }
void fork_done() RELEASE(registry_mutex) { registry_mutex.unlock(); }

void register_fork_handlers() {
    static const bool registered = [] {
        ::pthread_atfork(fork_prepare, fork_done, fork_done);
        return true;
    }();
    (void)registered;
}

}  // namespace

file_lock_t* file_lock_acquire(dev_t dev, ino_t ino) {
    register_fork_handlers();
    scoped_lock<annotated_mutex> guard(registry_mutex);
    try {
        auto key = std::make_pair(dev, ino);
        file_lock_t& lock = registry()[key];  // map nodes never move
        lock.key = key;
        ++lock.refs;
        return &lock;
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}

void file_lock_release(file_lock_t* lock) {
    if (lock == nullptr) return;
    scoped_lock<annotated_mutex> guard(registry_mutex);
    if (--lock->refs == 0) registry().erase(lock->key);
}

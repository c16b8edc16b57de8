// SPDX-License-Identifier: Apache-2.0
#include "file_locks.h"

#include <linux/futex.h>
#include <linux/kcmp.h>
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <new>
#include <utility>

namespace {

// A file's lock: held shared by the copies that hold a description's lock,
// whole by a copy whose description is unknown.  A whole holder keeps the
// gate, so no new shared holder enters, and waits for those inside to leave.
// A child made by fork finds it free, as fork_safe_mutex promises: the gate
// is one, and a count of shared holders left from an older generation names
// threads that do not exist in this process (the forking thread holds none:
// nothing forks inside a CPU copy), so the first to pass the gate drops it.
class fork_safe_shared_mutex {
public:
    // A whole holder keeps the gate until unlock().
    void lock() ACQUIRE(gate_) {
        gate_.lock();
        begin();
        for (std::uint32_t n; (n = inside_.load(std::memory_order_acquire)) != 0;)
            ::syscall(SYS_futex, word(), FUTEX_WAIT_PRIVATE, n, nullptr, nullptr, 0);
    }
    void unlock() RELEASE(gate_) { gate_.unlock(); }

    void lock_shared() {
        gate_.lock();
        begin();
        inside_.fetch_add(1, std::memory_order_relaxed);
        gate_.unlock();
    }
    void unlock_shared() {
        // Only a whole holder, keeping the gate, ever waits, and only for 0.
        if (inside_.fetch_sub(1, std::memory_order_release) == 1)
            ::syscall(SYS_futex, word(), FUTEX_WAKE_PRIVATE, 1, nullptr, nullptr, 0);
    }

private:
    void begin() REQUIRES(gate_) {
        const std::uint32_t current = fork_generation();
        if (generation_ == current) return;
        generation_ = current;
        inside_.store(0, std::memory_order_relaxed);
    }
    std::uint32_t* word() { return reinterpret_cast<std::uint32_t*>(&inside_); }

    static_assert(sizeof(std::atomic<std::uint32_t>) == sizeof(std::uint32_t));
    fork_safe_mutex gate_;
    std::atomic<std::uint32_t> inside_{0};           // shared holders
    std::uint32_t generation_ GUARDED_BY(gate_) = 0;  // of inside_
};

}  // namespace

struct file_entry_t {
    explicit file_entry_t(std::pair<dev_t, ino_t> k) : key(k) {
        whole.file = this;
        whole.whole = true;
    }
    file_entry_t(const file_entry_t&) = delete;
    file_entry_t& operator=(const file_entry_t&) = delete;

    const std::pair<dev_t, ino_t> key;
    fork_safe_shared_mutex lock;
    file_lock_t whole;                    // for the handles of unknown description
    file_lock_t* descriptions = nullptr;  // guarded by the registry's mutex
};

// Which of the two locks a copy takes depends on what the registry knew at
// registration: beyond what the analysis follows.
void file_lock_t::lock() NO_THREAD_SAFETY_ANALYSIS {
    if (whole) {
        file->lock.lock();
        return;
    }
    file->lock.lock_shared();
    mutex.lock();
}

void file_lock_t::unlock() NO_THREAD_SAFETY_ANALYSIS {
    if (whole) {
        file->lock.unlock();
        return;
    }
    mutex.unlock();
    file->lock.unlock_shared();
}

namespace {

using registry_t = std::map<std::pair<dev_t, ino_t>, file_entry_t>;

// Constant-initialised mutex; the map is built on first use and never
// destroyed, so that a handle released during exit still finds it.
annotated_mutex registry_mutex;

// The map, and every entry's lists and counts, only under registry_mutex.
registry_t& registry() REQUIRES(registry_mutex) {
    static auto* files = new registry_t;
    return *files;
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

// kcmp's answer for two descriptors of this process: 0 for one open file
// description, 1 to 3 for two, -1 when the kernel does not tell.
long compare_descriptions(pid_t self, int fd1, int fd2) {
    return ::syscall(SYS_kcmp, self, self, KCMP_FILE, fd1, fd2);
}

// The lock of fd's description among its file's: a known one, or `spare`
// made the new one.  Null when the kernel does not tell or there is no spare.
file_lock_t* description_lock(file_entry_t& file, pid_t self, int fd,
                              std::unique_ptr<file_lock_t>& spare) REQUIRES(registry_mutex) {
    for (file_lock_t* d = file.descriptions; d != nullptr; d = d->next) {
        const long order = compare_descriptions(self, fd, d->users->fd);
        if (order == 0) return d;
        if (order < 0) return nullptr;
    }
    if (spare == nullptr) return nullptr;
    file_lock_t* d = spare.release();
    d->file = &file;
    d->next = file.descriptions;
    file.descriptions = d;
    return d;
}

}  // namespace

file_lock_t* file_lock_acquire(file_lock_user_t* user, const struct stat* st) {
    register_fork_handlers();
    const auto key = st != nullptr ? std::make_pair(st->st_dev, st->st_ino)
                                   : std::make_pair(dev_t{0}, ino_t{0});
    const pid_t self = ::getpid();
    // Whether the kernel tells descriptions apart here, and the memory for a
    // new one's lock: both found out before the registry's lock is taken.
    const bool keyed = st != nullptr && compare_descriptions(self, user->fd, user->fd) == 0;
    std::unique_ptr<file_lock_t> spare(keyed ? new (std::nothrow) file_lock_t : nullptr);

    scoped_lock<annotated_mutex> guard(registry_mutex);
    file_entry_t* file;
    try {
        file = &registry().try_emplace(key, key).first->second;  // map nodes never move
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
    file_lock_t* lock = keyed ? description_lock(*file, self, user->fd, spare) : nullptr;
    if (lock == nullptr) lock = &file->whole;
    ++lock->refs;
    user->next = lock->users;
    lock->users = user;
    return lock;
}

void file_lock_release(file_lock_t* lock, file_lock_user_t* user) {
    if (lock == nullptr) return;
    std::unique_ptr<file_lock_t> gone;
    scoped_lock<annotated_mutex> guard(registry_mutex);
    file_lock_user_t** at = &lock->users;
    while (*at != user) at = &(*at)->next;
    *at = user->next;
    file_entry_t* file = lock->file;
    if (--lock->refs == 0 && !lock->whole) {
        file_lock_t** link = &file->descriptions;
        while (*link != lock) link = &(*link)->next;
        *link = lock->next;
        gone.reset(lock);
    }
    if (file->whole.refs == 0 && file->descriptions == nullptr) {
        const auto key = file->key;
        registry().erase(key);
    }
}

// SPDX-License-Identifier: Apache-2.0
// Lock annotations that clang's thread-safety analysis checks
// (-Wthread-safety, on for clang builds in cmake/warnings.cmake), and the
// scoped guards it understands.  With other compilers the annotations expand
// to nothing.
//
// Owns no state.  Every unit of the library that takes a lock uses these:
// a lock class is a CAPABILITY, the data it guards is GUARDED_BY it, a
// function that must run with it held says REQUIRES.  std::lock_guard and
// std::unique_lock carry no annotations, so the library takes its locks
// through scoped_lock below.  Where the analysis cannot follow (atomics read
// without the lock, state a child made by fork has to itself), the function
// says why and opts out alone with NO_THREAD_SAFETY_ANALYSIS.
#pragma once

#include <mutex>

#if defined(__clang__)
#define DGFILE_THREAD_ATTRIBUTE(x) __attribute__((x))
#else
#define DGFILE_THREAD_ATTRIBUTE(x)
#endif

#define CAPABILITY(x) DGFILE_THREAD_ATTRIBUTE(capability(x))
#define SCOPED_CAPABILITY DGFILE_THREAD_ATTRIBUTE(scoped_lockable)
#define GUARDED_BY(x) DGFILE_THREAD_ATTRIBUTE(guarded_by(x))
#define PT_GUARDED_BY(x) DGFILE_THREAD_ATTRIBUTE(pt_guarded_by(x))
#define REQUIRES(...) DGFILE_THREAD_ATTRIBUTE(requires_capability(__VA_ARGS__))
#define ACQUIRE(...) DGFILE_THREAD_ATTRIBUTE(acquire_capability(__VA_ARGS__))
#define RELEASE(...) DGFILE_THREAD_ATTRIBUTE(release_capability(__VA_ARGS__))
#define EXCLUDES(...) DGFILE_THREAD_ATTRIBUTE(locks_excluded(__VA_ARGS__))
#define NO_THREAD_SAFETY_ANALYSIS DGFILE_THREAD_ATTRIBUTE(no_thread_safety_analysis)

// std::mutex as a capability, for the locks that guard structures in memory
// (held across fork by their units' fork handlers).  Constant-initialised.
class CAPABILITY("mutex") annotated_mutex {
public:
    constexpr annotated_mutex() = default;
    annotated_mutex(const annotated_mutex&) = delete;
    annotated_mutex& operator=(const annotated_mutex&) = delete;

    void lock() ACQUIRE() { mutex_.lock(); }
    void unlock() RELEASE() { mutex_.unlock(); }

private:
    std::mutex mutex_;
};

// Holds `Mutex` for its scope; unlock() lets it go early (the destructor then
// does nothing).
template <typename Mutex>
class SCOPED_CAPABILITY scoped_lock {
public:
    explicit scoped_lock(Mutex& mutex) ACQUIRE(mutex) : mutex_(mutex) { mutex_.lock(); }
    ~scoped_lock() RELEASE() {
        if (held_) mutex_.unlock();
    }
    scoped_lock(const scoped_lock&) = delete;
    scoped_lock& operator=(const scoped_lock&) = delete;

    void unlock() RELEASE() {
        held_ = false;
        mutex_.unlock();
    }

private:
    Mutex& mutex_;
    bool held_ = true;
};

// SPDX-License-Identifier: Apache-2.0
//
// What File and DeviceBuffer share: the closed flag, the count of transfers
// using the object with the interpreter lock released (InUse), so that
// close() waits for them instead of releasing what they use, and the count
// of batch requests naming it, so that close() refuses while a batch still
// holds it.
//
// Who calls it: file.cpp, device.cpp, batch.cpp, load.cpp.  Threads: the
// closed flag and batch_uses are guarded by the interpreter lock; InUse is
// acquired and released with it held and waited on without it.
#pragma once

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <string>

#include <pybind11/pybind11.h>

namespace dgfile_python {

namespace py = pybind11;

// Counts what uses an object with the interpreter lock released, so that
// closing the object can wait until none does.  Acquire happens with the
// interpreter lock held and never after WaitIdle began (the object is marked
// closed first); the mutex is taken only when the last user leaves, so that a
// transfer costs two atomic operations.
class InUse {
public:
    void Acquire() { count_.fetch_add(1, std::memory_order_relaxed); }
    void Release() {
        if (count_.fetch_sub(1, std::memory_order_acq_rel) == 1) {
            std::lock_guard<std::mutex> lock(mutex_);  // pairs with WaitIdle's check
            idle_.notify_all();
        }
    }
    void WaitIdle() {
        std::unique_lock<std::mutex> lock(mutex_);
        idle_.wait(lock, [this] { return count_.load(std::memory_order_acquire) == 0; });
    }

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    std::atomic<unsigned> count_{0};
};

struct Closable {
    bool closed = false;
    unsigned batch_uses = 0;
    InUse running;

    void CheckOpen(const char* what) const {
        if (closed) throw py::value_error(std::string(what) + " is closed");
    }
    // Marks the object closed and waits, without the interpreter lock, for
    // the transfers still using it; false when it already was closed.
    bool BeginClose(const char* what) {
        if (closed) return false;
        if (batch_uses != 0)
            throw py::value_error(std::string(what) + ".close: " + std::to_string(batch_uses) +
                                  " batch request(s) still use it; collect them (Batch.wait) "
                                  "or close the batch first");
        closed = true;
        py::gil_scoped_release nogil;
        running.WaitIdle();
        return true;
    }
};

// Holds an object's InUse count for one transfer.
class Use {
public:
    Use() = default;
    Use(Closable& c, const char* what) : c_(&c) {
        c.CheckOpen(what);
        c.running.Acquire();
    }
    Use(Use&& other) noexcept : c_(other.c_) { other.c_ = nullptr; }
    Use(const Use&) = delete;
    Use& operator=(const Use&) = delete;
    Use& operator=(Use&&) = delete;
    ~Use() {
        if (c_ != nullptr) c_->running.Release();
    }

private:
    Closable* c_ = nullptr;
};

}  // namespace dgfile_python

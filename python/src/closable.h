// SPDX-License-Identifier: Apache-2.0
//
// What File and DeviceBuffer share: the closed flag, the count of transfers
// using the object with the interpreter lock released (InUse), so that
// close() waits for them instead of releasing what they use, and the count
// of batch requests naming it, so that close() refuses while a batch still
// holds it.  Also the process's fork generation, for every state of the
// binding that a thread of the parent may have left taken at a fork.
//
// Who calls it: file.cpp, device.cpp, batch.cpp, load.cpp (also CallingOut);
// module.cpp starts the fork generations.  Threads: the closed flag, batch_uses and an
// InUse's generation are guarded by the interpreter lock; InUse is acquired
// and released with it held and waited on without it.
#pragma once

#include <atomic>
#include <cstdint>
#include <string>

#include <pybind11/pybind11.h>

namespace dgfile_python {

namespace py = pybind11;

// After fork only the forking thread exists in the child: a count or a flag
// taken by another thread of the parent would stay taken there for ever.
// State that records the generation it was taken in counts as free in a
// later one.  Generations start at 1; each child made by fork starts a new
// one (a pthread_atfork handler, which StartForkGenerations installs once).
std::uint32_t ForkGeneration();
void StartForkGenerations();

// Counts what uses an object with the interpreter lock released, so that
// closing the object can wait until none does.  Acquire and Release happen
// with the interpreter lock held, Acquire never after WaitIdle began (the
// object is marked closed first).  The count is a futex word with no mutex
// beside it, so a child made by fork finds nothing held; a count of another
// generation is dropped (its users do not exist in this process).  A
// transfer costs two atomic operations; a system call only wakes a waiter.
class InUse {
public:
    void Acquire() {
        Renew();
        word_.fetch_add(1, std::memory_order_relaxed);
    }
    void Release();
    // With the interpreter lock held, before WaitIdle.
    void Renew() {
        const std::uint32_t now = ForkGeneration();
        if (generation_ == now) return;
        word_.store(0, std::memory_order_relaxed);
        generation_ = now;
    }
    // Without the interpreter lock: until the count is 0.
    void WaitIdle();

private:
    static constexpr std::uint32_t kWaiting = 1u << 31;  // a WaitIdle sleeps on the word
    static constexpr std::uint32_t kCount = kWaiting - 1;

    std::atomic<std::uint32_t> word_{0};  // the count, and kWaiting
    std::uint32_t generation_ = ForkGeneration();
};

struct Closable;

// While a load or store runs Python code on its calling thread (its progress
// callable, signal handlers), closing what it uses from that code would wait
// for the load, which waits for that code: CallingOut marks the two objects
// for its scope, on this thread (nested loads stack their marks), and
// BeginClose refuses them.
class CallingOut {
public:
    CallingOut(const Closable* file, const Closable* buffer);
    ~CallingOut();
    CallingOut(const CallingOut&) = delete;
    CallingOut& operator=(const CallingOut&) = delete;
    static bool Marks(const Closable* c);

private:
    const Closable* file_;
    const Closable* buffer_;
    CallingOut* outer_;
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
        if (CallingOut::Marks(this))
            throw py::value_error(std::string(what) + ".close: a dgfile.load or dgfile.store that uses it "
                                  "runs this code (its progress callable or a signal handler); close it "
                                  "after that call returns");
        closed = true;
        running.Renew();
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

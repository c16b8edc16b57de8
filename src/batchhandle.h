// SPDX-License-Identifier: Apache-2.0
// Batch handles: the object behind every DGfileBatchHandle_t, its fixed array
// of request slots, and the request threads that run one transfer each.
//
// Owns: each batch_handle_t and its slots, from dgFileBatchIOSetUp to
// dgFileBatchIODestroy (entry points in dgfile.cpp).  The caller's threads
// use a handle one at a time (submit, get_status, cancel, destruction); one
// detached request thread per submitted request runs concurrently with them.
// Locks: the handle's `mutex` guards the running counter's updates and
// submit's admission; it is never held across a transfer or a log call and
// nothing else is locked under it (src/README.md has the whole order).  A
// slot's `events.status` and `events.ret` are shared with the request thread
// without the lock and are only ever touched atomically (see
// batchhandle.cpp).
// fork: the request threads of a batch in flight do not exist in a child.
// Its first call on the handle ends those requests there (after_fork), so
// that nothing in the child waits for them; the mutex is fork-safe.
#pragma once

#include <time.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "dgfile.h"
#include "fork_safe_mutex.h"
#include "thread_annotations.h"

// One request slot.  Everything but events.status and events.ret belongs to
// the caller's thread, except that the slot's request thread reads `params`
// after its creation (which orders it after submit's copy).
struct batch_task_t {
    const std::atomic<int>* qrvdfd;     // the device descriptor; not read here
    fork_safe_mutex* mutex;             // the owning handle's mutex
    std::atomic<unsigned>* runing_nr PT_GUARDED_BY(mutex);  // the handle's running counter
    bool checked;                       // handed out by get_status this batch
    // Set by the request thread once its transfer is over (or was skipped),
    // or by submit for a request that needs no thread; reset by submit.
    // Only the library writes it, so submit can tell a thread about to leave
    // the running count from one still transferring, and get_status holds a
    // cancelled request back until its transfer is over, whatever the
    // caller's cancel did to the status.
    std::atomic<bool> transferred;
    DGfileIOParams_t params;            // the caller's request, copied whole
    DGfileIOEvents_t events;            // the completion record
};

// Start routine of a request thread; `targ` is the slot.
void* batch_thread(void* targ);

class batch_handle_t {
public:
    // Null when the slots cannot be allocated.
    static batch_handle_t* create(const std::atomic<int>* qrvdfd, unsigned max_nr);
    // Waits until no request thread of this handle is running.
    ~batch_handle_t();

    batch_handle_t(const batch_handle_t&) = delete;
    batch_handle_t& operator=(const batch_handle_t&) = delete;

    DGfileOpError submit(unsigned nr, const DGfileIOParams_t* iocbp, unsigned flags);
    DGfileOpError get_status(unsigned min_nr, unsigned* nr, DGfileIOEvents_t* iocbp,
                             const timespec* timeout);
    DGfileOpError cancel();

private:
    batch_handle_t(const std::atomic<int>* qrvdfd, unsigned max_nr, batch_task_t* tasks);
    bool transfers_finished();
    void after_fork();
    unsigned running() const;

    const std::atomic<int>* const qrvdfd;
    const unsigned max_nr;             // constant after construction
    unsigned cur_nr = 0;               // size of the current batch; caller's thread only
    // Updated under mutex; the destructor polls it without (running()).
    std::atomic<unsigned> runing_nr GUARDED_BY(mutex){0};
    batch_task_t* const tasks;         // max_nr slots
    fork_safe_mutex mutex;
    // The fork generation the current batch's threads run in; caller's
    // thread only.
    std::uint32_t generation = 0;
};

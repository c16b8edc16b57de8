// SPDX-License-Identifier: Apache-2.0
#include "batchhandle.h"

#include <pthread.h>
#include <sched.h>
#include <unistd.h>

#include <cstring>
#include <new>
#include <optional>

#include "files.h"
#include "stats.h"
#include "utils.h"

// The slot's state and result live inside the public completion record,
// whose layout cannot change; they are shared with the request thread
// through atomic references.  The thread stores `ret` before it moves the
// state from PENDING to COMPLETE with release ordering, and get_status loads
// the state with acquire ordering, so a record handed out as COMPLETE
// carries the final result.  A cancelled request is handed out only once its
// slot's `transferred` flag (stored with release ordering after `ret`) says
// its transfer is over: until then it may still write device memory, and
// its result is not known.
namespace {

std::atomic_ref<DGfileStatus_t> status_of(batch_task_t& task) {
    return std::atomic_ref<DGfileStatus_t>(task.events.status);
}

std::atomic_ref<std::size_t> ret_of(batch_task_t& task) {
    return std::atomic_ref<std::size_t>(task.events.ret);
}

static_assert(std::atomic_ref<DGfileStatus_t>::is_always_lock_free);
static_assert(std::atomic_ref<std::size_t>::is_always_lock_free);

// The end of every request: completes the slot unless it was cancelled, and
// takes it off the running count.  The unlock is the last access to the
// slot and the handle, which may be destroyed right after.
void finish(batch_task_t* task, ssize_t result) {
    if (stats::on()) stats::request_finished();
    ret_of(*task).store(static_cast<std::size_t>(result), std::memory_order_relaxed);
    task->transferred.store(true, std::memory_order_release);
    DGfileStatus_t expected = DGFILE_PENDING;
    status_of(*task).compare_exchange_strong(expected, DGFILE_COMPLETE, std::memory_order_release,
                                             std::memory_order_relaxed);
    scoped_lock<fork_safe_mutex> lock(*task->mutex);
    task->runing_nr->fetch_sub(1, std::memory_order_release);
}

// The result of a request that cannot run, which completes in submit
// without a thread: -1 for a null file handle, whatever the opcode, and 0
// for an opcode that moves nothing.  Nothing for a read or a write.
std::optional<ssize_t> result_without_transfer(const DGfileIOParams_t& p) {
    if (p.fh == nullptr) return -1;
    const auto opcode = raw_value(p.opcode);
    if (opcode != DGFILE_READ && opcode != DGFILE_WRITE) return 0;
    return std::nullopt;
}

}  // namespace

void* batch_thread(void* targ) {
    auto* task = static_cast<batch_task_t*>(targ);
    if (status_of(*task).load(std::memory_order_acquire) != DGFILE_PENDING) {
        // Cancelled before it started: no transfer, the result stays 0.
        if (stats::on()) stats::request_finished();
        task->transferred.store(true, std::memory_order_release);
        scoped_lock<fork_safe_mutex> lock(*task->mutex);
        task->runing_nr->fetch_sub(1, std::memory_order_release);
        return nullptr;
    }
    // Only a read or a write on a file handle gets a thread (submit).
    const DGfileIOParams_t& p = task->params;
    auto* fh = static_cast<file_handle_t*>(p.fh);
    const ssize_t result =
        raw_value(p.opcode) == DGFILE_READ
            ? fh->read(p.u.batch.devPtr_base, p.u.batch.size, p.u.batch.file_offset,
                       p.u.batch.devPtr_offset)
            : fh->write(p.u.batch.devPtr_base, p.u.batch.size, p.u.batch.file_offset,
                        p.u.batch.devPtr_offset);
    finish(task, result);
    return nullptr;
}

batch_handle_t* batch_handle_t::create(const std::atomic<int>* qrvdfd, unsigned max_nr) {
    auto* tasks = new (std::nothrow) batch_task_t[max_nr];
    if (tasks == nullptr) return nullptr;
    auto* handle = new (std::nothrow) batch_handle_t(qrvdfd, max_nr, tasks);
    if (handle == nullptr) delete[] tasks;
    return handle;
}

batch_handle_t::batch_handle_t(const std::atomic<int>* qrvdfd_, unsigned max_nr_,
                               batch_task_t* tasks_)
    : qrvdfd(qrvdfd_), max_nr(max_nr_), tasks(tasks_) {
    for (unsigned i = 0; i < max_nr; ++i) {
        batch_task_t& t = tasks[i];
        t.qrvdfd = qrvdfd;
        t.mutex = &mutex;
        t.runing_nr = &runing_nr;
        t.checked = false;
        t.transferred.store(true, std::memory_order_relaxed);
        std::memset(&t.params, 0, sizeof t.params);
        std::memset(&t.events, 0, sizeof t.events);
    }
}

batch_handle_t::~batch_handle_t() {
    after_fork();
    while (running() != 0) ::usleep(1);
    { scoped_lock<fork_safe_mutex> lock(mutex); }  // the last thread has left the mutex
    delete[] tasks;
}

DGfileOpError batch_handle_t::submit(unsigned nr, const DGfileIOParams_t* iocbp, unsigned flags) {
    if (nr > max_nr || iocbp == nullptr || flags != 0) return DG_FILE_BATCH_SUBMIT_FAILED;
    after_fork();
    for (;;) {
        scoped_lock<fork_safe_mutex> lock(mutex);
        if (runing_nr.load(std::memory_order_relaxed) != 0) {
            // A request thread marks its slot complete just before it leaves
            // the count, so a caller that has collected every completion can
            // still find the count above 0 for a moment.  Those threads are
            // past their transfers: wait for them instead of refusing.
            if (!transfers_finished()) return DG_FILE_BATCH_SUBMIT_FAILED;
            lock.unlock();
            sched_yield();
            continue;
        }
        // Counted in full before the first thread starts, so the counter
        // cannot reach 0 while later threads of this batch are being created.
        runing_nr.store(nr, std::memory_order_relaxed);
        cur_nr = nr;
        generation = fork_generation();
        break;
    }
    if (stats::on()) stats::batch_submitted(nr);
    pthread_attr_t attr;
    bool attr_ok = pthread_attr_init(&attr) == 0 &&
                   pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) == 0;
    for (unsigned i = 0; i < nr; ++i) {
        batch_task_t& t = tasks[i];
        t.params = iocbp[i];
        t.checked = false;
        t.transferred.store(false, std::memory_order_relaxed);
        t.events.cookie = iocbp[i].cookie;  // lets the caller match completions
        ret_of(t).store(0, std::memory_order_relaxed);
        status_of(t).store(DGFILE_PENDING, std::memory_order_relaxed);
        if (const std::optional<ssize_t> result = result_without_transfer(t.params)) {
            finish(&t, *result);
            continue;
        }
        pthread_t thread;
        if (!attr_ok || pthread_create(&thread, &attr, batch_thread, &t) != 0) {
            // No thread for this request: it completes at once as a failed
            // transfer, so that nothing waits for it.
            finish(&t, -1);
        }
    }
    if (attr_ok) pthread_attr_destroy(&attr);
    return DG_FILE_SUCCESS;
}

// The running counter read without the lock, as the destructor polls it:
// the acquire load pairs with each thread's release decrement.  The lock
// would only add a wait for the thread about to unlock it; the analysis
// cannot tell an atomic read from a racy one, hence the opt-out.
unsigned batch_handle_t::running() const NO_THREAD_SAFETY_ANALYSIS {
    return runing_nr.load(std::memory_order_acquire);
}

// True when every request thread of the current batch is past its transfer
// (only its step off the running count is left).
bool batch_handle_t::transfers_finished() {
    for (unsigned i = 0; i < cur_nr; ++i)
        if (!tasks[i].transferred.load(std::memory_order_acquire)) return false;
    return true;
}

DGfileOpError batch_handle_t::get_status(unsigned min_nr, unsigned* nr, DGfileIOEvents_t* iocbp,
                                         const timespec* /*timeout: not consulted*/) {
    if (nr == nullptr || min_nr > cur_nr) return DG_FILE_INVALID_VALUE;
    const unsigned capacity = *nr;
    // A capacity below min_nr could never be satisfied, and records cannot
    // be written through a null array.
    if (capacity < min_nr || (capacity > 0 && iocbp == nullptr)) return DG_FILE_INVALID_VALUE;
    after_fork();

    unsigned count = 0;
    for (;;) {
        unsigned check_count = 0;
        for (unsigned i = 0; i < cur_nr && count < capacity; ++i) {
            batch_task_t& t = tasks[i];
            if (t.checked) {
                if (++check_count == cur_nr) break;
                continue;
            }
            DGfileStatus_t state = status_of(t).load(std::memory_order_acquire);
            if (state != DGFILE_COMPLETE && state != DGFILE_CANCELED) continue;
            // A cancelled transfer still under way waits like a pending one.
            if (state == DGFILE_CANCELED && !t.transferred.load(std::memory_order_acquire))
                continue;
            iocbp[count].cookie = t.events.cookie;
            iocbp[count].status = state;
            iocbp[count].ret = ret_of(t).load(std::memory_order_relaxed);
            ++count;
            t.checked = true;
        }
        if (count >= min_nr || check_count == cur_nr) break;
        ::usleep(10);
    }
    *nr = count;
    return DG_FILE_SUCCESS;
}

DGfileOpError batch_handle_t::cancel() {
    after_fork();
    if (cur_nr != 0 && stats::on()) stats::batch_cancelled();
    for (unsigned i = 0; i < cur_nr; ++i)
        status_of(tasks[i]).store(DGFILE_CANCELED, std::memory_order_relaxed);
    return DG_FILE_SUCCESS;
}

// In a child made by fork while a batch was in flight, the request threads
// do not exist: a request whose transfer was over completes as it would have
// (its result is in the slot), every other one ends DGFILE_CANCELED with the
// result of a failed transfer, since what it did in the parent is unknown
// here, and nothing is running any more.
void batch_handle_t::after_fork() {
    if (generation == 0 || generation == fork_generation()) return;
    for (unsigned i = 0; i < cur_nr; ++i) {
        batch_task_t& t = tasks[i];
        if (t.transferred.load(std::memory_order_acquire)) {
            DGfileStatus_t expected = DGFILE_PENDING;
            status_of(t).compare_exchange_strong(expected, DGFILE_COMPLETE,
                                                 std::memory_order_relaxed);
        } else {
            ret_of(t).store(static_cast<std::size_t>(-1), std::memory_order_relaxed);
            t.transferred.store(true, std::memory_order_relaxed);
            status_of(t).store(DGFILE_CANCELED, std::memory_order_relaxed);
        }
    }
    {
        scoped_lock<fork_safe_mutex> lock(mutex);  // free in the child: fork-safe
        runing_nr.store(0, std::memory_order_relaxed);
    }
    generation = fork_generation();
}

// SPDX-License-Identifier: Apache-2.0
// The counting: the set-up, the per-thread counter shards and the hooks that
// write them, the list of driver refusals, the totals, and fork.
#include <pthread.h>

#include <algorithm>
#include <cstdio>
#include <new>
#include <thread>
#include <utility>

#include "stats.h"
#include "stats_totals.h"
#include "thread_annotations.h"

namespace stats {

std::atomic<int> state{-1};

namespace {

// Constructed at load, never destroyed: the summary is written after the
// library's static destructors have run.
template <typename T>
union lasting_t {
    lasting_t() : value() {}
    ~lasting_t() {}
    T value;
};

using counter = std::atomic<std::uint64_t>;

// The registry's lock: the list of shards, the free list and the set-up.
annotated_mutex registry_mutex;

// Written only by the shard's owner: a load and a store, no locked
// instruction.  The summary reads with relaxed loads.
inline void bump(counter& c, std::uint64_t n = 1) {
    c.store(c.load(std::memory_order_relaxed) + n, std::memory_order_relaxed);
}

struct shard_t {
    counter transfers[kPaths];
    counter bytes[kPaths];
    counter microseconds[kPaths];
    counter latency[kPaths][kBuckets];
    counter callback_failures;
    counter missed[kMisses][2];  // driver refusals are in the refusal list instead
    counter cpu_failures[kCpuFailures];
    counter handles_registered, handles_deregistered;
    counter batches, requests, cancellations;
    counter device_opened, device_closed;

    shard_t* next GUARDED_BY(registry_mutex) = nullptr;  // every shard ever made
    shard_t* next_free = nullptr;  // shards without an owner thread
};

// The registry: shards are never freed, so the summary can always add them
// up; a thread that ends hands its shard to the free list, and the next
// thread that counts takes it over.  The mutex (above) also guards the
// set-up.
shard_t* all_shards GUARDED_BY(registry_mutex) = nullptr;
shard_t* free_shards GUARDED_BY(registry_mutex) = nullptr;
// A thread is between reading the settings and publishing them.
bool setting_up GUARDED_BY(registry_mutex) = false;
// Written under registry_mutex by the one thread that sets up, before
// `state` is published with release ordering; read without the lock after
// that (by the set-up's own thread, and by the summary), so not GUARDED_BY.
lasting_t<StatsSettings> settings;

// Driver refusals by errno, in the order first seen, for the whole process:
// any number of distinct errnos, each once.  A refusal is followed by a CPU
// copy or a failure, so its lock costs nothing that shows.
annotated_mutex refusal_mutex;
lasting_t<std::vector<refusal_sum_t>> refusals GUARDED_BY(refusal_mutex);

// The process-wide count of batch requests in flight and its peak: the only
// shared counters, touched once per batch request, never per transfer.
std::atomic<std::int64_t> in_flight{0};
std::atomic<std::int64_t> most_in_flight{0};

// Once per process (a forked child writes its own): at exit or unload.
std::atomic<bool> written{false};

thread_local shard_t* mine = nullptr;

void release_shard(shard_t* shard) {
    scoped_lock<annotated_mutex> lock(registry_mutex);
    shard->next_free = free_shards;
    free_shards = shard;
}

// Gives the shard back when its thread ends.
struct shard_owner_t {
    shard_t* shard = nullptr;
    ~shard_owner_t() {
        if (shard == nullptr) return;
        mine = nullptr;
        release_shard(shard);
    }
};

__attribute__((noinline)) shard_t* acquire_shard() {
    shard_t* shard = nullptr;
    {
        scoped_lock<annotated_mutex> lock(registry_mutex);
        if (free_shards != nullptr) {
            shard = free_shards;
            free_shards = shard->next_free;
        }
    }
    if (shard == nullptr) {
        shard = new (std::nothrow) shard_t();
        if (shard == nullptr) return nullptr;
        scoped_lock<annotated_mutex> lock(registry_mutex);
        shard->next = all_shards;
        all_shards = shard;
    }
    static thread_local shard_owner_t owner;
    owner.shard = shard;
    mine = shard;
    return shard;
}

inline shard_t* my_shard() { return mine != nullptr ? mine : acquire_shard(); }

void count_refusal(int error, unsigned followed) {
    scoped_lock<annotated_mutex> lock(refusal_mutex);
    std::vector<refusal_sum_t>& list = refusals.value;
    auto it = std::find_if(list.begin(), list.end(),
                           [error](const refusal_sum_t& r) { return r.error == error; });
    if (it == list.end()) {
        try {
            list.push_back(refusal_sum_t{error, {}});
        } catch (const std::bad_alloc&) {
            return;  // out of memory: this refusal goes uncounted
        }
        it = list.end() - 1;
    }
    ++it->followed[followed];
}

void add_shard(totals_t& t, const shard_t& s) REQUIRES(registry_mutex) {
    auto get = [](const counter& c) { return c.load(std::memory_order_relaxed); };
    for (unsigned p = 0; p < kPaths; ++p) {
        t.paths[p].transfers += get(s.transfers[p]);
        t.paths[p].bytes += get(s.bytes[p]);
        t.paths[p].microseconds += get(s.microseconds[p]);
        for (unsigned b = 0; b < kBuckets; ++b) t.paths[p].latency[b] += get(s.latency[p][b]);
    }
    t.callback_failures += get(s.callback_failures);
    for (unsigned m = 0; m < kMisses; ++m)
        for (unsigned f = 0; f < 2; ++f) t.missed[m][f] += get(s.missed[m][f]);
    for (unsigned f = 0; f < kCpuFailures; ++f) t.cpu_failures[f] += get(s.cpu_failures[f]);
    t.handles_registered += get(s.handles_registered);
    t.handles_deregistered += get(s.handles_deregistered);
    t.batches += get(s.batches);
    t.requests += get(s.requests);
    t.cancellations += get(s.cancellations);
    t.device_opened += get(s.device_opened);
    t.device_closed += get(s.device_closed);
}

// ---- fork ----------------------------------------------------------------------------
// Both mutexes are held across fork so that the child never inherits one
// locked.  The child starts from zero: every shard is cleared, every shard
// but its one thread's is free again (their owners do not exist there), and
// the refusal list is empty.  A set-up that another thread was in the middle
// of (calibrating, with no lock held) is started again by the child's next
// counted event.
void fork_prepare() ACQUIRE(registry_mutex, refusal_mutex) {
    registry_mutex.lock();
    refusal_mutex.lock();
}
void fork_parent() RELEASE(registry_mutex, refusal_mutex) {
    refusal_mutex.unlock();
    registry_mutex.unlock();
}
void fork_child() RELEASE(registry_mutex, refusal_mutex) {
    free_shards = nullptr;
    for (shard_t* s = all_shards; s != nullptr; s = s->next) {
        shard_t* const next = s->next;
        s->~shard_t();
        new (s) shard_t();
        s->next = next;
        if (s != mine) {
            s->next_free = free_shards;
            free_shards = s;
        }
    }
    refusals.value.clear();
    setting_up = false;
    in_flight.store(0, std::memory_order_relaxed);
    most_in_flight.store(0, std::memory_order_relaxed);
    written.store(false, std::memory_order_relaxed);
    fork_parent();
}

// Registered on the first set-up, before the mutexes are ever taken, so that
// any fork that can find them held runs the handlers.
void register_fork_handlers() {
    static const bool registered = [] {
        ::pthread_atfork(fork_prepare, fork_parent, fork_child);
        return true;
    }();
    (void)registered;
}

// Reads the settings unless the set-up is done or under way.  True when
// this thread is to finish the set-up; false with *published set when it
// was done.  Waits, with no lock held, while another thread sets up.
bool start_set_up(int* published) {
    for (;;) {
        {
            scoped_lock<annotated_mutex> lock(registry_mutex);
            *published = state.load(std::memory_order_relaxed);
            if (*published >= 0) return false;
            if (!setting_up) {
                setting_up = true;
                try {
                    settings.value = read_stats_settings();
                } catch (const std::bad_alloc&) {
                    settings.value = StatsSettings{};  // out of memory: off
                }
                std::fputs(settings.value.message.c_str(), stderr);
                return true;
            }
        }
        std::this_thread::yield();  // the other thread calibrates the clock
    }
}

}  // namespace

// The clock is calibrated with no lock held: the first counted event may come
// from a thread that holds locks of its own, and 200 microseconds under the
// registry mutex would stall every thread that counts for the first time.
// `state` is published last, so no thread times a transfer with an
// uncalibrated clock.
bool set_up() {
    register_fork_handlers();
    int published = -1;
    if (!start_set_up(&published)) return published > 0;
    const bool collect = settings.value.collect;
    if (collect) calibrate_clock();
    scoped_lock<annotated_mutex> lock(registry_mutex);
    setting_up = false;
    state.store(collect ? 1 : 0, std::memory_order_release);
    return collect;
}

totals_t gather() {
    totals_t t;
    {
        scoped_lock<annotated_mutex> lock(registry_mutex);
        for (const shard_t* s = all_shards; s != nullptr; s = s->next) add_shard(t, *s);
        t.most_in_flight = most_in_flight.load(std::memory_order_relaxed);
    }
    scoped_lock<annotated_mutex> lock(refusal_mutex);
    t.refusals = refusals.value;
    return t;
}

bool claim_summary() {
    return state.load(std::memory_order_acquire) == 1 && !written.exchange(true);
}

const StatsSettings& current_settings() { return settings.value; }

// ---- The hooks -------------------------------------------------------------------------

void transfer(path_t path, std::uint64_t bytes, std::uint64_t us) {
    shard_t* s = my_shard();
    if (s == nullptr) return;
    const auto p = static_cast<unsigned>(path);
    bump(s->transfers[p]);
    bump(s->bytes[p], bytes);
    bump(s->microseconds[p], us);
    bump(s->latency[p][bucket_of(us)]);
}

void callback_failed() {
    if (shard_t* s = my_shard()) bump(s->callback_failures);
}

void direct_missed(miss_t why, int error, bool copied) {
    const unsigned f = copied ? kCopied : kFailed;
    if (why == miss_t::refused) {
        count_refusal(error, f);
    } else if (shard_t* s = my_shard()) {
        bump(s->missed[static_cast<unsigned>(why)][f]);
    }
}

void cpu_failed(cpu_fail_t why) {
    if (shard_t* s = my_shard()) bump(s->cpu_failures[static_cast<unsigned>(why)]);
}

void handle_registered() {
    if (shard_t* s = my_shard()) bump(s->handles_registered);
}

void handle_deregistered() {
    if (shard_t* s = my_shard()) bump(s->handles_deregistered);
}

void batch_submitted(unsigned requests) {
    if (shard_t* s = my_shard()) {
        bump(s->batches);
        bump(s->requests, requests);
    }
    const std::int64_t now =
        in_flight.fetch_add(requests, std::memory_order_relaxed) + static_cast<std::int64_t>(requests);
    std::int64_t most = most_in_flight.load(std::memory_order_relaxed);
    while (now > most &&
           !most_in_flight.compare_exchange_weak(most, now, std::memory_order_relaxed)) {
    }
}

void request_finished() { in_flight.fetch_sub(1, std::memory_order_relaxed); }

void batch_cancelled() {
    if (shard_t* s = my_shard()) bump(s->cancellations);
}

void device_opened() {
    if (shard_t* s = my_shard()) bump(s->device_opened);
}

void device_closed() {
    if (shard_t* s = my_shard()) bump(s->device_closed);
}

}  // namespace stats

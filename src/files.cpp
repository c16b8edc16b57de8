// SPDX-License-Identifier: Apache-2.0
#include "files.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "file_locks.h"
#include "log.h"
#include "settings.h"
#include "utils.h"

namespace {

// From this size on the host buffer is faulted in before use (committed);
// below it, memory is committed only as read() fills it.
constexpr std::size_t kLargeBuffer = std::size_t{32} << 20;
constexpr std::size_t kPage = 4096;

// Faults [p, p + length) in before use.  False when the memory is not there.
bool prefault(char* p, std::size_t length) {
#ifdef MADV_POPULATE_WRITE
    if (::madvise(p, length, MADV_POPULATE_WRITE) == 0) return true;
    if (errno != EINVAL) return false;
#endif
    // Kernels without the populate request: touch one byte per page.
    for (std::size_t off = 0; off < length; off += kPage) p[off] = 0;
    return true;
}

// Host memory for one fallback transfer.  Large buffers are 2 MiB-aligned,
// backed by transparent huge pages where the system allows, and faulted in
// before use: a fresh buffer from malloc would otherwise take one page fault
// per 4 KiB inside read(), which halves the fallback's throughput.
class bounce_buffer {
public:
    explicit bounce_buffer(std::size_t size) {
        if (size > kLargestBuffer) return;  // no allocation of this size can succeed
        if (size < kLargeBuffer) {
            data_ = static_cast<char*>(std::malloc(size == 0 ? 1 : size));
            return;
        }
        mapped_ = round_up(size);
        // No MAP_NORESERVE: the kernel's overcommit check then refuses sizes
        // the machine cannot back, instead of the process being killed later.
        void* p = ::mmap(nullptr, mapped_ + kHugePage, PROT_READ | PROT_WRITE,
                         MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (p == MAP_FAILED) return;
        // Trim the mapping to a 2 MiB-aligned range so huge pages can back it.
        auto base = reinterpret_cast<std::uintptr_t>(p);
        std::uintptr_t aligned = (base + kHugePage - 1) & ~(kHugePage - 1);
        if (aligned > base) ::munmap(p, aligned - base);
        std::size_t tail = (base + mapped_ + kHugePage) - (aligned + mapped_);
        if (tail > 0) ::munmap(reinterpret_cast<void*>(aligned + mapped_), tail);
        data_ = reinterpret_cast<char*>(aligned);
        ::madvise(data_, mapped_, MADV_HUGEPAGE);
        if (!prefault(data_, mapped_)) {  // the memory is not there: give up now
            ::munmap(data_, mapped_);
            data_ = nullptr;
        }
    }
    ~bounce_buffer() {
        if (data_ == nullptr) return;
        if (mapped_ != 0) ::munmap(data_, mapped_);
        else std::free(data_);
    }
    bounce_buffer(const bounce_buffer&) = delete;
    bounce_buffer& operator=(const bounce_buffer&) = delete;

    char* data() const { return data_; }

    // Makes room for `size` bytes (more than the buffer holds), keeping the
    // contents.  False, with the buffer as it was, when the memory is not
    // there.  A mapping moves its pages (mremap) and faults in the new part;
    // a small buffer grows as realloc sees fit.
    bool grow(std::size_t size) {
        if (size > kLargestBuffer) return false;
        if (mapped_ == 0) {
            void* p = std::realloc(data_, size);
            if (p == nullptr) return false;
            data_ = static_cast<char*>(p);
            return true;
        }
        const std::size_t mapped = round_up(size);
        void* p = ::mremap(data_, mapped_, mapped, MREMAP_MAYMOVE);
        if (p == MAP_FAILED) return false;
        data_ = static_cast<char*>(p);
        ::madvise(data_, mapped, MADV_HUGEPAGE);
        if (!prefault(data_ + mapped_, mapped - mapped_)) {
            ::mremap(data_, mapped, mapped_, 0);  // shrinking in place cannot fail
            return false;
        }
        mapped_ = mapped;
        return true;
    }

private:
    static constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    static constexpr std::size_t kLargestBuffer = SIZE_MAX / 4;  // keeps rounding from wrapping
    static std::size_t round_up(std::size_t size) {
        return (size + kHugePage - 1) / kHugePage * kHugePage;
    }
    std::size_t mapped_ = 0;  // nonzero when the buffer is a mapping
    char* data_ = nullptr;
};

bool cpu_fallback_disabled() { return env_switch_on(kDisableCpuFallback); }

// read() or write() until `size` bytes have moved, the file ends, or an
// error comes: Linux moves at most 0x7ffff000 bytes per call, and a signal
// may cut a call short.  Returns the bytes moved, or -1 when an error came
// before any byte moved.
template <typename Buffer, typename Call>
ssize_t move_fully(Call call, int fd, Buffer buffer, std::size_t size) {
    std::size_t done = 0;
    while (done < size) {
        ssize_t n = call(fd, buffer + done, size - done);
        if (n > 0) {
            done += static_cast<std::size_t>(n);
        } else if (n == 0) {
            break;  // end of file (or a file that takes no more)
        } else if (errno != EINTR) {
            if (done == 0) return -1;
            break;
        }
    }
    return static_cast<ssize_t>(done);
}

ssize_t read_fully(int fd, char* buffer, std::size_t size) {
    return move_fully<char*>(::read, fd, buffer, size);
}

ssize_t write_fully(int fd, const char* buffer, std::size_t size) {
    return move_fully<const char*>(::write, fd, buffer, size);
}

// Times one driver request or CPU copy for those who want the figure: the
// wall clock for the log's timing record, read only while the log writes
// such records, and the statistics' clock, which never steps back, only
// while they count.
class stopwatch {
public:
    explicit stopwatch(bool counting)
        : logging_(dgfileDebugWants(DGFILE_LOG_DEBUG)), counting_(counting) {
        if (logging_) ::gettimeofday(&wall_start_, nullptr);
        if (counting_) ticks_start_ = stats::ticks();
    }

    // Stops both clocks; returns the statistics' microseconds (0 when they
    // do not count).
    std::uint64_t stop() {
        if (logging_) {
            timeval end;
            ::gettimeofday(&end, nullptr);
            wall_us_ = dur(wall_start_, end);
        }
        return counting_ ? stats::ticks_to_us(stats::ticks() - ticks_start_) : 0;
    }

    // The log's timing record of `size` bytes, when the log writes it.
    void record(const char* func, int line, std::size_t size) const {
        if (!logging_) return;
        char rate[kSpeedTextSize];
        dgfileDebugLog(DGFILE_LOG_DEBUG, func, line, "size = %zu, dur = %zuusec(s), speed = %s",
                       size, static_cast<std::size_t>(wall_us_),
                       speed(rate, static_cast<std::int64_t>(size), wall_us_));
    }

private:
    const bool logging_, counting_;
    timeval wall_start_{};
    std::uint64_t ticks_start_ = 0;
    std::uint64_t wall_us_ = 0;
};

// Puts a descriptor's status flags back when the CPU copy leaves, by any way.
class flags_restorer {
public:
    flags_restorer(int fd, int flags) : fd_(fd), flags_(flags) {}
    ~flags_restorer() { ::fcntl(fd_, F_SETFL, flags_); }
    flags_restorer(const flags_restorer&) = delete;
    flags_restorer& operator=(const flags_restorer&) = delete;

private:
    const int fd_, flags_;
};

}  // namespace

void pointer_query_t::make(const void* devPtr_base) {
    if (made) return;
    std::memset(&info, 0, sizeof info);
    info.size = sizeof info;
    made = true;
    status = qrv_vendor_pointer_info(devPtr_base, &info, nullptr, nullptr, nullptr);
}

bool inside_allocation(const qrv_vendor_pointer_info_t& info, const void* devPtr_base,
                       off_t devPtr_offset, std::size_t size) {
    const auto base = reinterpret_cast<std::uintptr_t>(info.agentBaseAddress);
    const std::uintptr_t start =
        reinterpret_cast<std::uintptr_t>(devPtr_base) + static_cast<std::uintptr_t>(devPtr_offset);
    if (start < base) return false;
    const std::uint64_t skip = start - base;
    return skip <= info.sizeInBytes && size <= info.sizeInBytes - skip;
}

file_handle_t* file_handle_t::create(const std::atomic<int>* qrvdfd, const DGfileDescr_t* descr,
                                     int flags) {
    struct stat st {};
    const bool stat_ok = ::fstat(descr->handle.fd, &st) == 0;
    auto* handle = new (std::nothrow) file_handle_t(qrvdfd, descr, flags, stat_ok ? &st : nullptr);
    if (handle != nullptr && handle->file_lock == nullptr &&
        raw_value(descr->type) == DG_FILE_HANDLE_TYPE_OPAQUE_FD) {
        delete handle;
        return nullptr;
    }
    return handle;
}

namespace {

const struct stat kNoStat {};

}  // namespace

file_handle_t::file_handle_t(const std::atomic<int>* qrvdfd_, const DGfileDescr_t* descr_,
                             int flags, const struct stat* st)
    : qrvdfd(qrvdfd_),
      descr(*descr_),
      fileflag(flags),
      f_stat(st != nullptr ? *st : kNoStat),
      disable_cpu(cpu_fallback_disabled()),
      lock_user{descr_->handle.fd, nullptr},
      file_lock(raw_value(descr_->type) == DG_FILE_HANDLE_TYPE_OPAQUE_FD
                    ? file_lock_acquire(&lock_user, st)
                    : nullptr) {}

file_handle_t::~file_handle_t() { file_lock_release(file_lock, &lock_user); }

namespace {

// A user callback's transfer, timed for the statistics when they are on.
template <typename Call>
ssize_t counted_callback(Call call) {
    if (!stats::on()) return call();
    const std::uint64_t start = stats::ticks();
    const ssize_t result = call();
    const std::uint64_t end = stats::ticks();
    if (result < 0)
        stats::callback_failed();
    else
        stats::transfer(stats::path_t::callback, static_cast<std::uint64_t>(result),
                        stats::ticks_to_us(end - start));
    return result;
}

}  // namespace

ssize_t file_handle_t::read(void* devPtr_base, std::size_t size, off_t file_offset,
                            off_t devPtr_offset) {
    if (descr.fs_ops != nullptr && descr.fs_ops->read != nullptr)
        return counted_callback([&] {
            return descr.fs_ops->read(descr.handle.handle, static_cast<char*>(devPtr_base), size,
                                      file_offset, &rdma);
        });
    return transfer({op_t::read, "read", devPtr_base, size, file_offset, devPtr_offset, false});
}

ssize_t file_handle_t::write(const void* devPtr_base, std::size_t size, off_t file_offset,
                             off_t devPtr_offset) {
    if (descr.fs_ops != nullptr && descr.fs_ops->write != nullptr)
        return counted_callback([&] {
            return descr.fs_ops->write(descr.handle.handle,
                                       static_cast<const char*>(devPtr_base), size, file_offset,
                                       &rdma);
        });
    // The direct and fallback paths only read device memory for a write.
    return transfer({op_t::write, "write", const_cast<void*>(devPtr_base), size, file_offset,
                     devPtr_offset, false});
}

ssize_t file_handle_t::transfer(const request_t& asked) {
    if (raw_value(descr.type) != DG_FILE_HANDLE_TYPE_OPAQUE_FD) return 0;
    // Decided before any lock is taken: the statistics' first use calibrates
    // their clock, which must hold up no other thread.
    request_t r = asked;
    r.counting = stats::on();

    scoped_lock<fork_safe_mutex> lock(mutex);
    ssize_t moved = -1;
    pointer_query_t query;
    attempt_t attempt;
    if (direct(r, &query, &attempt, &moved)) {
        lock.unlock();
        dgfileDebugLog(DGFILE_LOG_DEBUG, r.func, __LINE__, "KMD");
        if (r.counting)
            stats::transfer(stats::path_t::direct, static_cast<std::uint64_t>(moved), attempt.us);
        return moved;
    }
    bool copied = false;
    bool host = false;  // the CPU copy ran to its end (*moved may be -1)
    if (disable_cpu) {
        dgfileDebugLog(DGFILE_LOG_DEBUG, r.func, __LINE__, "Fail");
        attempt.failure = stats::cpu_fail_t::disabled;
    } else {
        host = fallback(r, &query, &attempt, &moved);
    }
    lock.unlock();
    if (host) {
        dgfileDebugLog(DGFILE_LOG_DEBUG, r.func, __LINE__, "Host");
        copied = moved >= 0;
    }
    if (r.counting) {
        stats::direct_missed(attempt.miss, attempt.error, copied);
        if (copied)
            stats::transfer(stats::path_t::cpu, static_cast<std::uint64_t>(moved), attempt.us);
        else
            stats::cpu_failed(attempt.failure);
    }
    return copied ? moved : -1;
}

// One kernel request.  True when the driver moved the data; *moved is then
// the byte count it reported.  *query keeps the pointer query's answer for
// the fallback; *attempt says why the request did not complete, and how
// long it took.
bool file_handle_t::direct(const request_t& r, pointer_query_t* query, attempt_t* attempt,
                           ssize_t* moved) {
    int device = qrvdfd->load();
    if (device == -1) return false;  // attempt->miss: no_device

    query->make(r.devPtr_base);
    if (query->status != 0) {
        attempt->miss = stats::miss_t::unknown_pointer;
        return false;
    }
    const qrv_vendor_pointer_info_t& info = query->info;

    // Zero-filled so that no stack bytes travel to the driver in the padding.
    qrvd_ioctl_file_inout_vram_args args;
    std::memset(&args, 0, sizeof args);
    args.gpu_id = info.agentOwner.gpu_id;
    args.handle = info.agentOwner.handle;
    args.mem_offset = (reinterpret_cast<std::uintptr_t>(r.devPtr_base) -
                       reinterpret_cast<std::uintptr_t>(info.agentBaseAddress)) +
                      static_cast<__u64>(r.devPtr_offset);
    args.size = r.size;
    args.fd = static_cast<__u32>(descr.handle.fd);
    args.fpos = static_cast<__u64>(r.file_offset);
    args.flags = 0;
    args.op = static_cast<__u8>(r.op);

    stopwatch watch(r.counting);
    int ret = ::ioctl(device, QRVD_IOC_VRAM_IO, &args);
    int saved_errno = errno;
    attempt->us = watch.stop();
    if (ret != 0) {
        dgfileDebugLog(DGFILE_LOG_DEBUG, r.func, __LINE__,
                       "ioctl<QRVD_IOC_VRAM_IO> failed, ret = %d, errno = %d, args.size = %llu",
                       ret, saved_errno, static_cast<unsigned long long>(args.size));
        attempt->miss = stats::miss_t::refused;
        attempt->error = saved_errno;
        return false;
    }
    watch.record(r.func, __LINE__, r.size);
    if (args.size == 0) {
        attempt->miss = stats::miss_t::zero_bytes;
        return false;
    }
    *moved = static_cast<ssize_t>(args.size);
    return true;
}

// The CPU copy: the device range checked against its allocation, then the
// copy on the application's own descriptor.  A device range outside the
// allocation the runtime reports for devPtr_base moves nothing.  Returns
// false when it gave up before the data moved; otherwise *moved is the byte
// count or -1.  *attempt says why it failed, and how long it took.
bool file_handle_t::fallback(const request_t& r, pointer_query_t* query, attempt_t* attempt,
                             ssize_t* moved) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, r.func, __LINE__, "direct copy failed, fallback to cpu copy");
    stopwatch watch(r.counting);
    // The direct path asked the runtime only while the device connection was
    // open; a pointer it does not know is copied as the runtime sees fit.
    query->make(r.devPtr_base);
    if (query->status == 0 &&
        !inside_allocation(query->info, r.devPtr_base, r.devPtr_offset, r.size)) {
        dgfileDebugLog(DGFILE_LOG_DEBUG, r.func, __LINE__,
                       "device range %p + %zd, size %zu, outside its allocation %p, size %llu",
                       r.devPtr_base, static_cast<ssize_t>(r.devPtr_offset), r.size,
                       query->info.agentBaseAddress,
                       static_cast<unsigned long long>(query->info.sizeInBytes));
        attempt->failure = stats::cpu_fail_t::outside_allocation;
        return false;
    }
    const std::optional<ssize_t> count = copy_on_descriptor(r, attempt);
    if (!count) return false;
    attempt->us = watch.stop();
    watch.record(r.func, __LINE__, r.size);
    *moved = *count;
    return true;
}

// Under the file lock: O_DIRECT off, seek, the read or write step, and the
// flags read at registration back on every way out.
std::optional<ssize_t> file_handle_t::copy_on_descriptor(const request_t& r,
                                                         attempt_t* attempt) {
    scoped_lock<file_lock_t> file_guard(*file_lock);
    const int fd = descr.handle.fd;
    if (::fcntl(fd, F_SETFL, fileflag & ~O_DIRECT) != 0) {
        attempt->failure = stats::cpu_fail_t::flags;
        return std::nullopt;
    }
    const flags_restorer restore(fd, fileflag);
    if (::lseek(fd, r.file_offset, SEEK_SET) < 0) {
        attempt->failure = stats::cpu_fail_t::seek;
        return std::nullopt;
    }
    // Device addresses are opaque numbers here; never form them by pointer
    // arithmetic on a host object.
    void* device = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(r.devPtr_base) +
                                           static_cast<std::uintptr_t>(r.devPtr_offset));
    return r.op == op_t::read ? read_step(r, device, attempt) : write_step(r, device, attempt);
}

// The host buffer a read starts with.  Below kLargeBuffer it is the whole
// size: memory is committed only as read() fills it.  A larger buffer is
// faulted in before use, so it starts at what the file's size promises
// between file_offset and its end, one page more (a file that ends where its
// size says then needs no second look), and read_step grows it if the file
// holds more: a huge size on a small file must not commit host memory of the
// huge size, and a size stated too small must not cut the read short.
// The caller's seek succeeded, so file_offset >= 0.
std::size_t file_handle_t::read_capacity(std::size_t size, off_t file_offset) const {
    if (size < kLargeBuffer) return size;
    struct stat st;
    if (::fstat(descr.handle.fd, &st) != 0 || !S_ISREG(st.st_mode)) return size;
    const std::uint64_t left =
        st.st_size > file_offset ? static_cast<std::uint64_t>(st.st_size - file_offset) : 0;
    return left < size - kPage ? static_cast<std::size_t>(left) + kPage : size;
}

// read() into a host buffer until the whole size or the end of the file,
// then one runtime copy of what arrived.  A buffer that fills before either
// doubles (up to the size): the file held more than its size said.  If it
// cannot grow, the bytes read so far are the count, as after a failed
// read().  The descriptor is at file_offset.
std::optional<ssize_t> file_handle_t::read_step(const request_t& r, void* device,
                                                attempt_t* attempt) {
    std::size_t capacity = read_capacity(r.size, r.file_offset);
    bounce_buffer buffer(capacity);
    if (buffer.data() == nullptr) {
        attempt->failure = stats::cpu_fail_t::buffer;
        return std::nullopt;
    }
    std::size_t done = 0;
    for (;;) {
        const ssize_t n = read_fully(descr.handle.fd, buffer.data() + done, capacity - done);
        if (n < 0 && done == 0) {
            attempt->failure = stats::cpu_fail_t::io;
            return -1;
        }
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
        if (done < capacity || capacity == r.size) break;
        const std::size_t grown = capacity > r.size / 2 ? r.size : capacity * 2;
        if (!buffer.grow(grown)) break;
        capacity = grown;
    }
    // Only the bytes read() delivered go to device memory; a copy that fails
    // means they never arrived, which the caller must learn.
    const copy_fn copy = runtime_copy();
    if (done > 0 && (copy == nullptr || copy(device, buffer.data(), done, dgMemcpyDefault) != 0)) {
        attempt->failure = stats::cpu_fail_t::copy;
        return -1;
    }
    return static_cast<ssize_t>(done);
}

// One runtime copy of the device range into a host buffer of the whole size,
// then write() until all of it has moved.  Without a successful copy the
// buffer holds nothing of the caller's: it never reaches the file.
// The descriptor is at file_offset.
std::optional<ssize_t> file_handle_t::write_step(const request_t& r, const void* device,
                                                 attempt_t* attempt) {
    bounce_buffer buffer(r.size);
    if (buffer.data() == nullptr) {
        attempt->failure = stats::cpu_fail_t::buffer;
        return std::nullopt;
    }
    const copy_fn copy = runtime_copy();
    if (copy == nullptr || copy(buffer.data(), device, r.size, dgMemcpyDefault) != 0) {
        attempt->failure = stats::cpu_fail_t::copy;
        return -1;
    }
    const ssize_t count = write_fully(descr.handle.fd, buffer.data(), r.size);
    if (count < 0) attempt->failure = stats::cpu_fail_t::io;
    return count;
}

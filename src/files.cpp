// SPDX-License-Identifier: Apache-2.0
#include "files.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "file_locks.h"
#include "log.h"
#include "settings.h"
#include "utils.h"

// A weak reference: the copy call comes from whatever GPU runtime the
// application has loaded, and no needed library provides it.  When nothing
// does, the reference is null instead of the process being stopped by the
// dynamic linker.
extern "C" int dgMemcpy(void* dst, const void* src, std::size_t count, _dgMemcpyKind kind)
    __attribute__((weak));

copy_fn runtime_copy() {
    if (&dgMemcpy != nullptr) return &dgMemcpy;
    // Second chance for a runtime loaded after this library (dlopen with
    // RTLD_GLOBAL): the weak reference was settled at load time.
    static std::atomic<copy_fn> late{nullptr};
    copy_fn found = late.load(std::memory_order_acquire);
    if (found == nullptr) {
        found = reinterpret_cast<copy_fn>(::dlsym(RTLD_DEFAULT, "dgMemcpy"));
        if (found != nullptr) late.store(found, std::memory_order_release);
    }
    return found;
}

namespace {

// From this size on the host buffer is faulted in before use (committed);
// below it, memory is committed only as read() fills it.
constexpr std::size_t kLargeBuffer = std::size_t{32} << 20;

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
        mapped_ = (size + kHugePage - 1) / kHugePage * kHugePage;
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
#ifdef MADV_POPULATE_WRITE
        if (::madvise(data_, mapped_, MADV_POPULATE_WRITE) == 0) return;
        if (errno != EINVAL) {  // the memory is not there: give up now
            ::munmap(data_, mapped_);
            data_ = nullptr;
            return;
        }
#endif
        // Kernels without the populate request: touch one byte per page.
        for (std::size_t off = 0; off < mapped_; off += 4096) data_[off] = 0;
    }
    ~bounce_buffer() {
        if (data_ == nullptr) return;
        if (mapped_ != 0) ::munmap(data_, mapped_);
        else std::free(data_);
    }
    bounce_buffer(const bounce_buffer&) = delete;
    bounce_buffer& operator=(const bounce_buffer&) = delete;

    char* data() const { return data_; }

private:
    static constexpr std::uintptr_t kHugePage = std::uintptr_t{2} << 20;
    static constexpr std::size_t kLargestBuffer = SIZE_MAX / 4;  // keeps rounding from wrapping
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

}  // namespace

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
    file_lock_t* lock = nullptr;
    if (raw_value(descr->type) == DG_FILE_HANDLE_TYPE_OPAQUE_FD) {
        // A descriptor that cannot be examined shares no lock: a key of its
        // own (its inode number cannot be 0 for a real file).
        lock = stat_ok ? file_lock_acquire(st.st_dev, st.st_ino) : file_lock_acquire(0, 0);
        if (lock == nullptr) return nullptr;
    }
    auto* handle = new (std::nothrow) file_handle_t(qrvdfd, descr, flags, st, lock);
    if (handle == nullptr) file_lock_release(lock);
    return handle;
}

file_handle_t::file_handle_t(const std::atomic<int>* qrvdfd_, const DGfileDescr_t* descr_,
                             int flags, const struct stat& st, file_lock_t* file_lock_)
    : qrvdfd(qrvdfd_),
      descr(*descr_),
      fileflag(flags),
      f_stat(st),
      disable_cpu(cpu_fallback_disabled()),
      file_lock(file_lock_) {}

file_handle_t::~file_handle_t() { file_lock_release(file_lock); }

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
    return transfer(op_t::read, "read", devPtr_base, size, file_offset, devPtr_offset);
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
    return transfer(op_t::write, "write", const_cast<void*>(devPtr_base), size, file_offset,
                    devPtr_offset);
}

ssize_t file_handle_t::transfer(op_t op, const char* func, void* devPtr_base, std::size_t size,
                                off_t file_offset, off_t devPtr_offset) {
    if (raw_value(descr.type) != DG_FILE_HANDLE_TYPE_OPAQUE_FD) return 0;

    std::unique_lock<std::mutex> lock(mutex);
    ssize_t moved = -1;
    pointer_query_t query;
    attempt_t attempt;
    if (direct(op, func, devPtr_base, size, file_offset, devPtr_offset, &query, &attempt,
               &moved)) {
        lock.unlock();
        dgfileDebugLog(DGFILE_LOG_DEBUG, func, __LINE__, "KMD");
        if (stats::on())
            stats::transfer(stats::path_t::direct, static_cast<std::uint64_t>(moved), attempt.us);
        return moved;
    }
    bool copied = false;
    if (disable_cpu) {
        dgfileDebugLog(DGFILE_LOG_DEBUG, func, __LINE__, "Fail");
        attempt.failure = stats::cpu_fail_t::disabled;
    } else if (fallback(op, func, devPtr_base, size, file_offset, devPtr_offset, &query, &attempt,
                        &moved)) {
        lock.unlock();
        dgfileDebugLog(DGFILE_LOG_DEBUG, func, __LINE__, "Host");
        copied = moved >= 0;
    }
    if (stats::on()) {
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
// long it took.  REQUIRES: mutex held.
bool file_handle_t::direct(op_t op, const char* func, void* devPtr_base, std::size_t size,
                           off_t file_offset, off_t devPtr_offset, pointer_query_t* query,
                           attempt_t* attempt, ssize_t* moved) {
    int device = qrvdfd->load();
    if (device == -1) return false;  // attempt->miss: no_device

    qrv_vendor_pointer_info_t& info = query->info;
    std::memset(&info, 0, sizeof info);
    info.size = sizeof info;
    query->made = true;
    query->status = qrv_vendor_pointer_info(devPtr_base, &info, nullptr, nullptr, nullptr);
    if (query->status != 0) {
        attempt->miss = stats::miss_t::unknown_pointer;
        return false;
    }

    // Zero-filled so that no stack bytes travel to the driver in the padding.
    qrvd_ioctl_file_inout_vram_args args;
    std::memset(&args, 0, sizeof args);
    args.gpu_id = info.agentOwner.gpu_id;
    args.handle = info.agentOwner.handle;
    args.mem_offset = (reinterpret_cast<std::uintptr_t>(devPtr_base) -
                       reinterpret_cast<std::uintptr_t>(info.agentBaseAddress)) +
                      static_cast<__u64>(devPtr_offset);
    args.size = size;
    args.fd = static_cast<__u32>(descr.handle.fd);
    args.fpos = static_cast<__u64>(file_offset);
    args.flags = 0;
    args.op = static_cast<__u8>(op);

    timeval start, end;
    ::gettimeofday(&start, nullptr);
    int ret = ::ioctl(device, QRVD_IOC_VRAM_IO, &args);
    int saved_errno = errno;
    ::gettimeofday(&end, nullptr);

    std::uint64_t us = dur(start, end);
    attempt->us = us;
    if (ret != 0) {
        dgfileDebugLog(DGFILE_LOG_DEBUG, func, __LINE__,
                       "ioctl<QRVD_IOC_VRAM_IO> failed, ret = %d, errno = %d, args.size = %llu",
                       ret, saved_errno, static_cast<unsigned long long>(args.size));
        attempt->miss = stats::miss_t::refused;
        attempt->error = saved_errno;
        return false;
    }
    char rate[kSpeedTextSize];
    dgfileDebugLog(DGFILE_LOG_DEBUG, func, __LINE__, "size = %zu, dur = %zuusec(s), speed = %s",
                   size, static_cast<std::size_t>(us),
                   speed(rate, static_cast<std::int64_t>(size), us));
    if (args.size == 0) {
        attempt->miss = stats::miss_t::zero_bytes;
        return false;
    }
    *moved = static_cast<ssize_t>(args.size);
    return true;
}

// The host buffer a CPU copy needs.  A read of a regular file can deliver no
// more than lies between the offset and the end of the file: a huge size on
// a small file must not commit host memory of the huge size.  Only buffers
// that are faulted in before use need the file's size (one more system call);
// smaller ones commit just what read() fills.  REQUIRES: the file lock held
// (the caller's seek succeeded, so file_offset >= 0).
std::size_t file_handle_t::buffer_size(op_t op, std::size_t size, off_t file_offset) const {
    if (op != op_t::read || size < kLargeBuffer) return size;
    struct stat st;
    if (::fstat(descr.handle.fd, &st) != 0 || !S_ISREG(st.st_mode)) return size;
    if (st.st_size <= file_offset) return 0;
    const auto left = static_cast<std::uint64_t>(st.st_size - file_offset);
    return left < size ? static_cast<std::size_t>(left) : size;
}

// The CPU copy on the application's own descriptor, under the file's lock:
// O_DIRECT off, seek, read() or write() through a host buffer until the
// whole range (or the end of the file) has moved, one runtime copy, flags
// restored to those read at registration.  A device range outside the
// allocation the runtime reports for devPtr_base moves nothing.  Returns
// false when it gave up before the data moved; otherwise *moved is the byte
// count or -1.  *attempt says why it failed, and how long it took.
// REQUIRES: mutex held.
bool file_handle_t::fallback(op_t op, const char* func, void* devPtr_base, std::size_t size,
                             off_t file_offset, off_t devPtr_offset, pointer_query_t* query,
                             attempt_t* attempt, ssize_t* moved) {
    dgfileDebugLog(DGFILE_LOG_DEBUG, func, __LINE__, "direct copy failed, fallback to cpu copy");
    timeval start, end;
    ::gettimeofday(&start, nullptr);

    // The direct path asked the runtime only while the device connection was
    // open; a pointer it does not know is copied as the runtime sees fit.
    if (!query->made) {
        std::memset(&query->info, 0, sizeof query->info);
        query->info.size = sizeof query->info;
        query->made = true;
        query->status =
            qrv_vendor_pointer_info(devPtr_base, &query->info, nullptr, nullptr, nullptr);
    }
    if (query->status == 0 &&
        !inside_allocation(query->info, devPtr_base, devPtr_offset, size)) {
        dgfileDebugLog(DGFILE_LOG_DEBUG, func, __LINE__,
                       "device range %p + %zd, size %zu, outside its allocation %p, size %llu",
                       devPtr_base, static_cast<ssize_t>(devPtr_offset), size,
                       query->info.agentBaseAddress,
                       static_cast<unsigned long long>(query->info.sizeInBytes));
        attempt->failure = stats::cpu_fail_t::outside_allocation;
        return false;
    }

    std::lock_guard<std::mutex> file_guard(file_lock->mutex);
    const int fd = descr.handle.fd;
    if (::fcntl(fd, F_SETFL, fileflag & ~O_DIRECT) != 0) {
        attempt->failure = stats::cpu_fail_t::flags;
        return false;
    }
    if (::lseek(fd, file_offset, SEEK_SET) < 0) {
        ::fcntl(fd, F_SETFL, fileflag);
        attempt->failure = stats::cpu_fail_t::seek;
        return false;
    }
    // Device addresses are opaque numbers here; never form them by pointer
    // arithmetic on a host object.
    void* device = reinterpret_cast<void*>(reinterpret_cast<std::uintptr_t>(devPtr_base) +
                                           static_cast<std::uintptr_t>(devPtr_offset));
    ssize_t count = -1;
    {
        const std::size_t length = buffer_size(op, size, file_offset);
        bounce_buffer buffer(length);
        if (buffer.data() == nullptr) {
            ::fcntl(fd, F_SETFL, fileflag);
            attempt->failure = stats::cpu_fail_t::buffer;
            return false;
        }
        copy_fn copy = runtime_copy();
        if (op == op_t::read) {
            count = read_fully(fd, buffer.data(), length);
            // Only the bytes read() delivered go to device memory; a copy
            // that fails means they never arrived, which the caller must learn.
            if (count > 0 && (copy == nullptr ||
                              copy(device, buffer.data(), static_cast<std::size_t>(count),
                                   dgMemcpyDefault) != 0)) {
                count = -1;
                attempt->failure = stats::cpu_fail_t::copy;
            }
        } else if (copy != nullptr && copy(buffer.data(), device, size, dgMemcpyDefault) == 0) {
            // Without a successful copy the buffer holds nothing of the
            // caller's: it never reaches the file.
            count = write_fully(fd, buffer.data(), size);
        } else {
            attempt->failure = stats::cpu_fail_t::copy;
        }
    }

    ::fcntl(fd, F_SETFL, fileflag);
    ::gettimeofday(&end, nullptr);
    char rate[kSpeedTextSize];
    std::uint64_t us = dur(start, end);
    attempt->us = us;
    dgfileDebugLog(DGFILE_LOG_DEBUG, func, __LINE__, "size = %zu, dur = %zuusec(s), speed = %s",
                   size, static_cast<std::size_t>(us),
                   speed(rate, static_cast<std::int64_t>(size), us));
    *moved = count;
    return true;
}

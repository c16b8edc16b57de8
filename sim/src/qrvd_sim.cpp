// SPDX-License-Identifier: Apache-2.0
// libqrvd-sim.so: the simulated GPU kernel driver.  It interposes the C
// library's open family, close and ioctl; every call that is not about the
// simulated "/dev/qrvd" is forwarded to the next definition (dlsym RTLD_NEXT:
// the C library, or a sanitizer runtime placed ahead of us).
//
// The device is a memfd owned by this library; every descriptor opened on
// "/dev/qrvd" refers to its inode, so it is recognised by (st_dev, st_ino),
// which survives dup() and fork().  All state lives in one Driver object
// guarded by its mutex; no transfer or sleep runs under it.
#include <dlfcn.h>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>

#include "qrv_platform.h"
#include "qrv_sim_private.h"
#include "qrvd_sim.h"
#include "sim_env.h"

// The fortified entry points the C library's headers may route open() to;
// declared here since the headers declare them only under fortification.
extern "C" {
int __open_2(const char* path, int flags);
int __open64_2(const char* path, int flags);
int __openat_2(int dirfd, const char* path, int flags);
int __openat64_2(int dirfd, const char* path, int flags);
}

namespace {

using OpenFn = int (*)(const char*, int, ...);
using OpenAtFn = int (*)(int, const char*, int, ...);
using CloseFn = int (*)(int);
using IoctlFn = int (*)(int, unsigned long, ...);

using Open2Fn = int (*)(const char*, int);
using OpenAt2Fn = int (*)(int, const char*, int);

template <typename Fn>
Fn Next(const char* name, Fn fallback = nullptr) {
    auto fn = reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
    return fn != nullptr ? fn : fallback;
}

// The definitions we forward to, resolved together on first use.  The large-
// file forms fall back to the plain ones (the same calls on 64-bit systems).
struct Real {
    OpenFn open = Next<OpenFn>("open");
    OpenFn open64 = Next<OpenFn>("open64", open);
    OpenAtFn openat = Next<OpenAtFn>("openat");
    OpenAtFn openat64 = Next<OpenAtFn>("openat64", openat);
    Open2Fn open_2 = Next<Open2Fn>("__open_2");
    Open2Fn open64_2 = Next<Open2Fn>("__open64_2", open_2);
    OpenAt2Fn openat_2 = Next<OpenAt2Fn>("__openat_2");
    OpenAt2Fn openat64_2 = Next<OpenAt2Fn>("__openat64_2", openat_2);
    CloseFn close = Next<CloseFn>("close");
    IoctlFn ioctl = Next<IoctlFn>("ioctl");
};

const Real& R() {
    static const Real real;
    return real;
}

struct Fault {
    int mode = QRVD_SIM_FAULT_NONE;
    uint64_t param = 0;
    unsigned every = 1;
};

struct Driver {
    std::mutex mutex;
    // Read without the lock on every intercepted call: atomics.
    std::atomic<int> explicit_enabled{-1};  // -1: not decided by a call
    std::atomic<bool> auto_enabled{false};
    std::atomic<bool> device_ready{false};  // dev/ino below are set
    // Guarded by mutex (dev/ino: written once before device_ready is set).
    int memfd = -1;
    dev_t dev = 0;
    ino_t ino = 0;
    qrvd_sim_counters counters{};
    bool have_last = false;
    qrvd_ioctl_file_inout_vram_args last{};
    bool fault_explicit = false;  // set by qrvd_sim_set_fault: the variable is ignored
    std::string fault_text;       // the QRVD_SIM_FAULT value `fault` came from
    Fault fault;
    uint64_t fault_seq = 0;  // checked requests since the fault was set
};

Driver& D() {
    static Driver* driver = new Driver;  // never destroyed: used until exit
    return *driver;
}

bool Enabled() {
    Driver& d = D();
    int e = d.explicit_enabled.load(std::memory_order_acquire);
    if (e >= 0) return e != 0;
    int forced = qrvd_sim_env_force();
    if (forced >= 0) return forced != 0;
    return d.auto_enabled.load(std::memory_order_acquire);
}

bool IsDevice(int fd) {
    Driver& d = D();
    if (fd < 0 || !d.device_ready.load(std::memory_order_acquire)) return false;
    struct stat st;
    return ::fstat(fd, &st) == 0 && st.st_dev == d.dev && st.st_ino == d.ino;
}

bool IsDevicePath(const char* path) {
    return path != nullptr && std::strcmp(path, QRVD_DEVICE_PATH) == 0;
}

// Moves n bytes through a pipe: the kernel, not this process, touches both
// sides, so a bad address gives EFAULT instead of a crash.
bool CopyThroughPipe(void* to, const void* from, size_t n) {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) return false;
    bool ok = ::write(p[1], from, n) == static_cast<ssize_t>(n) &&
              ::read(p[0], to, n) == static_cast<ssize_t>(n);
    R().close(p[0]);
    R().close(p[1]);
    return ok;
}

// Caller memory is read and written as the kernel would: an unreadable or
// unwritable address gives EFAULT instead of a crash.  Where the system does
// not allow process_vm_* on ourselves (seccomp, emulators), a pipe stands in.
bool CopyFromCaller(void* to, const void* from, size_t n) {
    if (from == nullptr) return false;
    iovec local{to, n};
    iovec remote{const_cast<void*>(from), n};
    ssize_t r = ::process_vm_readv(::getpid(), &local, 1, &remote, 1, 0);
    if (r == static_cast<ssize_t>(n)) return true;
    if (r < 0 && (errno == ENOSYS || errno == EPERM)) return CopyThroughPipe(to, from, n);
    return false;
}

bool CopyToCaller(void* to, const void* from, size_t n) {
    iovec local{const_cast<void*>(from), n};
    iovec remote{to, n};
    ssize_t r = ::process_vm_writev(::getpid(), &local, 1, &remote, 1, 0);
    if (r == static_cast<ssize_t>(n)) return true;
    if (r < 0 && (errno == ENOSYS || errno == EPERM)) return CopyThroughPipe(to, from, n);
    return false;
}

bool ParseErrno(const std::string& text, uint64_t& out) {
    static const struct { const char* name; int value; } kNames[] = {
        {"EPERM", EPERM}, {"EINTR", EINTR}, {"EIO", EIO}, {"ENXIO", ENXIO},
        {"EBADF", EBADF}, {"EAGAIN", EAGAIN}, {"ENOMEM", ENOMEM}, {"EFAULT", EFAULT},
        {"EBUSY", EBUSY}, {"ENODEV", ENODEV}, {"EINVAL", EINVAL}, {"ENOSPC", ENOSPC},
        {"ENOTTY", ENOTTY}, {"EOPNOTSUPP", EOPNOTSUPP}, {"ETIMEDOUT", ETIMEDOUT},
    };
    for (const auto& e : kNames)
        if (text == e.name) {
            out = static_cast<uint64_t>(e.value);
            return true;
        }
    return sim_env::ParseSize(text.c_str(), false, out) && out >= 1 && out <= 4095;
}

// "mode[:param][@every]"; false for anything else.
bool ParseFault(const std::string& text, Fault& out) {
    static const struct { const char* name; int mode; } kModes[] = {
        {"none", QRVD_SIM_FAULT_NONE}, {"refuse", QRVD_SIM_FAULT_REFUSE},
        {"zero", QRVD_SIM_FAULT_ZERO}, {"short", QRVD_SIM_FAULT_SHORT},
        {"untouched", QRVD_SIM_FAULT_UNTOUCHED}, {"corrupt", QRVD_SIM_FAULT_CORRUPT},
        {"delay", QRVD_SIM_FAULT_DELAY},
    };
    std::string rest = text;
    Fault f;
    size_t at = rest.find('@');
    if (at != std::string::npos) {
        uint64_t every = 0;
        if (!sim_env::ParseSize(rest.c_str() + at + 1, false, every) || every < 1 ||
            every > UINT_MAX)
            return false;
        f.every = static_cast<unsigned>(every);
        rest.resize(at);
    }
    std::string param;
    size_t colon = rest.find(':');
    if (colon != std::string::npos) {
        param = rest.substr(colon + 1);
        rest.resize(colon);
    }
    f.mode = -1;
    for (const auto& m : kModes)
        if (rest == m.name) f.mode = m.mode;
    if (f.mode < 0) return false;
    if (f.mode == QRVD_SIM_FAULT_REFUSE) {
        if (!ParseErrno(param.empty() ? "EIO" : param, f.param)) return false;
    } else if (!param.empty()) {
        if (!sim_env::ParseSize(param.c_str(), false, f.param)) return false;
    }
    out = f;
    return true;
}

// Decides, under the lock, which fault (if any) applies to this request.
Fault TakeFault(Driver& d) {
    if (!d.fault_explicit) {
        const char* env = std::getenv("QRVD_SIM_FAULT");
        std::string text = env != nullptr ? env : "";
        if (text != d.fault_text) {
            d.fault_text = text;
            d.fault_seq = 0;
            d.fault = Fault{};
            if (!text.empty() && !ParseFault(text, d.fault)) {
                d.fault = Fault{};
                std::fprintf(stderr, "qrvd-sim: ignoring QRVD_SIM_FAULT=\"%s\"\n", text.c_str());
            }
        }
    }
    if (d.fault.mode == QRVD_SIM_FAULT_NONE) return Fault{};
    ++d.fault_seq;
    return d.fault_seq % d.fault.every == 0 ? d.fault : Fault{};
}

// pread/pwrite until done, end of file or an error.  Returns the bytes moved;
// `error` is the errno of a failure that ended it early, else 0.
uint64_t Move(int fd, char* memory, uint64_t size, uint64_t fpos, bool to_memory, int& error) {
    constexpr uint64_t kChunk = 1u << 30;
    uint64_t done = 0;
    error = 0;
    while (done < size) {
        size_t chunk = static_cast<size_t>(std::min(size - done, kChunk));
        off_t at = static_cast<off_t>(fpos + done);
        ssize_t n = to_memory ? ::pread(fd, memory + done, chunk, at)
                              : ::pwrite(fd, memory + done, chunk, at);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        if (n == 0) break;
        done += static_cast<uint64_t>(n);
    }
    return done;
}

// Inverts one byte of the file through a descriptor of its own, since the
// caller's may be O_DIRECT (which refuses one-byte transfers) or write-only.
void CorruptFileByte(int fd, uint64_t pos) {
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", fd);
    int own = R().open(path, O_RDWR | O_CLOEXEC);
    if (own < 0) return;
    unsigned char byte = 0;
    if (::pread(own, &byte, 1, static_cast<off_t>(pos)) == 1) {
        byte = static_cast<unsigned char>(~byte);
        (void)!::pwrite(own, &byte, 1, static_cast<off_t>(pos));
    }
    R().close(own);
}

void Count(Driver& d, bool ok, int op, uint64_t bytes) {
    std::lock_guard lock(d.mutex);
    if (!ok) {
        ++d.counters.requests_failed;
    } else if (op == QRVD_OP_READ) {
        ++d.counters.reads;
        d.counters.bytes_read += bytes;
    } else {
        ++d.counters.writes;
        d.counters.bytes_written += bytes;
    }
}

int Refuse(Driver& d, int error) {
    Count(d, false, 0, 0);
    errno = error;
    return -1;
}

int DeviceRequest(unsigned long request, void* arg) {
    Driver& d = D();
    // The kernel passes the request code as a 32-bit value.
    if (static_cast<unsigned int>(request) != QRVD_IOC_VRAM_IO) {
        errno = ENOTTY;
        return -1;
    }
    qrvd_ioctl_file_inout_vram_args a;
    bool readable = CopyFromCaller(&a, arg, sizeof a);
    {
        std::lock_guard lock(d.mutex);
        ++d.counters.requests;
        if (readable) {
            d.last = a;
            d.have_last = true;
        }
    }
    if (!readable) return Refuse(d, EFAULT);
    if (a.op != QRVD_OP_READ && a.op != QRVD_OP_WRITE) return Refuse(d, EINVAL);
    if (a.flags != 0 || a.size == 0) return Refuse(d, EINVAL);
    qrv_sim_allocation alloc;
    switch (qrv_sim_find_by_handle(a.gpu_id, a.handle, &alloc)) {
        case 0: break;
        case ENODEV: return Refuse(d, ENODEV);
        default: return Refuse(d, EINVAL);
    }
    uint64_t end = 0;
    if (__builtin_add_overflow(a.mem_offset, a.size, &end) || end > alloc.size)
        return Refuse(d, EFAULT);
    if (a.fpos > static_cast<uint64_t>(LLONG_MAX) ||
        a.size > static_cast<uint64_t>(LLONG_MAX) - a.fpos)
        return Refuse(d, EINVAL);

    Fault fault;
    {
        std::lock_guard lock(d.mutex);
        fault = TakeFault(d);
    }
    // The size is written back after the transfer; check first that it can
    // be (by writing the value it has), so that a record that cannot take
    // the result is refused before any byte moves.
    auto* size_field = static_cast<char*>(arg) + offsetof(qrvd_ioctl_file_inout_vram_args, size);
    if (fault.mode != QRVD_SIM_FAULT_UNTOUCHED && !CopyToCaller(size_field, &a.size, sizeof a.size))
        return Refuse(d, EFAULT);
    uint64_t want = a.size;
    switch (fault.mode) {
        case QRVD_SIM_FAULT_REFUSE:
            return Refuse(d, static_cast<int>(fault.param));
        case QRVD_SIM_FAULT_ZERO:
            want = 0;
            break;
        case QRVD_SIM_FAULT_SHORT:
            want = std::min(want, fault.param);
            break;
        case QRVD_SIM_FAULT_DELAY:
            ::usleep(static_cast<useconds_t>(std::min<uint64_t>(fault.param, UINT_MAX)));
            break;
        default:
            break;
    }
    bool to_memory = a.op == QRVD_OP_READ;
    char* memory = alloc.host_base + a.mem_offset;
    int error = 0;
    uint64_t moved = Move(static_cast<int>(a.fd), memory, want, a.fpos, to_memory, error);
    if (moved == 0 && error != 0) return Refuse(d, error);
    if (fault.mode == QRVD_SIM_FAULT_CORRUPT && moved > 0) {
        uint64_t at = std::min(fault.param, moved - 1);
        if (to_memory)
            memory[at] = static_cast<char>(~memory[at]);
        else
            CorruptFileByte(static_cast<int>(a.fd), a.fpos + at);
    }
    if (fault.mode != QRVD_SIM_FAULT_UNTOUCHED) {
        if (!CopyToCaller(size_field, &moved, sizeof moved)) return Refuse(d, EFAULT);
    }
    Count(d, true, a.op, moved);
    return 0;
}

// Opens the device: a new open file description of the simulator's memfd
// (through /proc, so that each open has its own flags, like a device open),
// or a duplicate of it where /proc is not there.
int OpenDevice(int flags) {
    if ((flags & O_DIRECTORY) != 0) {  // also O_TMPFILE
        errno = ENOTDIR;
        return -1;
    }
    Driver& d = D();
    int memfd;
    {
        std::lock_guard lock(d.mutex);
        if (d.memfd < 0) {
            int fd = ::memfd_create("qrvd-sim", MFD_CLOEXEC);
            if (fd < 0) return -1;
            struct stat st;
            if (::fstat(fd, &st) != 0) {
                int saved = errno;
                R().close(fd);
                errno = saved;
                return -1;
            }
            d.memfd = fd;
            d.dev = st.st_dev;
            d.ino = st.st_ino;
            d.device_ready.store(true, std::memory_order_release);
        }
        memfd = d.memfd;
    }
    char path[64];
    std::snprintf(path, sizeof path, "/proc/self/fd/%d", memfd);
    int fd = R().open(path, flags & ~(O_CREAT | O_EXCL | O_TRUNC | O_NOCTTY));
    if (fd < 0 || !IsDevice(fd)) {
        if (fd >= 0) R().close(fd);
        fd = ::fcntl(memfd, (flags & O_CLOEXEC) != 0 ? F_DUPFD_CLOEXEC : F_DUPFD, 0);
        if (fd < 0) return -1;
    }
    std::lock_guard lock(d.mutex);
    ++d.counters.opens;
    d.counters.last_open_flags = flags;
    return fd;
}

bool NeedsMode(int flags) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE;
}

}  // namespace

// ---- Interposed C library calls ------------------------------------------

extern "C" {

// The eight open-family names come from one definition, two forms per name:
// the plain one, whose mode argument exists only when the flags ask for
// creation, and the fortified __<name>_2, called only without a mode (the
// compiler routes O_CREAT opens elsewhere; the C library refuses them with a
// mode flag).  The device path is absolute, so it names the device whatever
// the directory descriptor; every other open goes to the next definition.
// PARAMS are the parameters before the flags, ARGS the same as arguments.
#define QRVD_SIM_OPEN(name, PARAMS, ARGS)                                       \
    int name(QRVD_SIM_LIST PARAMS, int flags, ...) {                            \
        mode_t mode = 0;                                                        \
        if (NeedsMode(flags)) {                                                 \
            va_list ap;                                                         \
            va_start(ap, flags);                                                \
            mode = static_cast<mode_t>(va_arg(ap, int));                        \
            va_end(ap);                                                         \
        }                                                                       \
        if (IsDevicePath(path) && Enabled()) return OpenDevice(flags);          \
        return R().name(QRVD_SIM_LIST ARGS, flags, mode);                       \
    }                                                                           \
    int __##name##_2(QRVD_SIM_LIST PARAMS, int flags) {                         \
        if (IsDevicePath(path) && Enabled() && !NeedsMode(flags))               \
            return OpenDevice(flags);                                           \
        return R().name##_2(QRVD_SIM_LIST ARGS, flags);                         \
    }
#define QRVD_SIM_LIST(...) __VA_ARGS__

QRVD_SIM_OPEN(open, (const char* path), (path))
QRVD_SIM_OPEN(open64, (const char* path), (path))
QRVD_SIM_OPEN(openat, (int dirfd, const char* path), (dirfd, path))
QRVD_SIM_OPEN(openat64, (int dirfd, const char* path), (dirfd, path))

#undef QRVD_SIM_LIST
#undef QRVD_SIM_OPEN

int close(int fd) {
    Driver& d = D();
    if (d.device_ready.load(std::memory_order_acquire) && Enabled() && IsDevice(fd)) {
        std::lock_guard lock(d.mutex);
        ++d.counters.closes;
    }
    return R().close(fd);
}

int ioctl(int fd, unsigned long request, ...) {
    va_list ap;
    va_start(ap, request);
    void* arg = va_arg(ap, void*);
    va_end(ap);
    if (D().device_ready.load(std::memory_order_acquire) && Enabled() && IsDevice(fd))
        return DeviceRequest(request, arg);
    return R().ioctl(fd, request, arg);
}

// ---- Control interface ----------------------------------------------------

void qrvd_sim_set_enabled(int on) {
    D().explicit_enabled.store(on ? 1 : 0, std::memory_order_release);
}

int qrvd_sim_enable_if_no_device(void) {
    int forced = qrvd_sim_env_force();
    bool on;
    if (forced >= 0) {
        on = forced != 0;
    } else {
        struct stat st;
        on = !(::stat(QRVD_DEVICE_PATH, &st) == 0 && S_ISCHR(st.st_mode));
    }
    D().auto_enabled.store(on, std::memory_order_release);
    return qrvd_sim_enabled();
}

int qrvd_sim_enabled(void) { return Enabled() ? 1 : 0; }

int qrvd_sim_set_fault(int mode, uint64_t param, unsigned every) {
    if (mode < QRVD_SIM_FAULT_NONE || mode > QRVD_SIM_FAULT_DELAY) return -1;
    if (mode == QRVD_SIM_FAULT_REFUSE && (param < 1 || param > 4095)) return -1;
    Driver& d = D();
    std::lock_guard lock(d.mutex);
    d.fault_explicit = true;
    d.fault = Fault{mode, param, every == 0 ? 1u : every};
    d.fault_seq = 0;
    return 0;
}

void qrvd_sim_clear_fault(void) { qrvd_sim_set_fault(QRVD_SIM_FAULT_NONE, 0, 1); }

void qrvd_sim_get_counters(struct qrvd_sim_counters* out) {
    if (out == nullptr) return;
    Driver& d = D();
    std::lock_guard lock(d.mutex);
    *out = d.counters;
}

void qrvd_sim_reset_counters(void) {
    Driver& d = D();
    std::lock_guard lock(d.mutex);
    d.counters = qrvd_sim_counters{};
    d.have_last = false;
}

int qrvd_sim_last_request(struct qrvd_ioctl_file_inout_vram_args* out) {
    Driver& d = D();
    std::lock_guard lock(d.mutex);
    if (!d.have_last || out == nullptr) return -1;
    *out = d.last;
    return 0;
}

void* qrvd_sim_host_view(const void* device_ptr, size_t len) {
    qrv_sim_allocation a;
    if (qrv_sim_classify(device_ptr, len, &a) != QRV_SIM_RANGE_DEVICE) return nullptr;
    return a.host_base + (static_cast<const char*>(device_ptr) - a.device_base);
}

}  // extern "C"

// SPDX-License-Identifier: Apache-2.0
//
// dgfile.hpp - the C++ interface of libdgfile (C++17 and later), header-only.
//
// A thin layer over dgfile.h: each call here makes one or a few calls of the
// C interface, whose contracts (stated in dgfile.h) hold unchanged, and the
// library gains no symbol from it.  What this layer adds:
//  - Errors: every operation has a throwing form (dgfile::error, a
//    std::system_error) and a form that takes a std::error_code& and throws
//    nothing else than std::bad_alloc, as std::filesystem does (file::serve
//    also lets out what copying the caller's object throws).  Codes are
//    dgfile::errc in dgfile::category(): the status codes of dgfile.h by
//    name, and three of this layer's own (transfer_failed, end_of_file,
//    stopped).
//    Failed system calls of this layer (open, fstat) give std::system_category
//    codes.
//  - Ownership: file and batch are move-only, release what they own in their
//    destructor, and are empty (and safe to destroy) once moved from.
//  - Typed batch requests and completions, and the batch rules checked where
//    this layer can check them.
//  - load() and store(): a whole file, or a range, between the file and
//    device memory, by several threads of the call at once ("lanes").
// Threads: as in C.  Several threads may transfer through one file at once;
// a batch takes calls from one thread at a time.  Neither type locks.
// load() and store() start their lanes and join them before returning.
#ifndef DGFILE_HPP
#define DGFILE_HPP

#if __cplusplus < 201703L
#error "dgfile.hpp needs C++17 or later (-std=c++17)"
#endif

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <utility>
#include <vector>

#include <dgfile.h>

namespace dgfile {

// ---- Errors ----------------------------------------------------------------

// The status codes of dgfile.h (DG_FILE_X is errc::x, same value), then this
// layer's own two, outside the C interface's range.
enum class errc : int {
    driver_not_initialized = DG_FILE_DRIVER_NOT_INITIALIZED,
    driver_invalid_props = DG_FILE_DRIVER_INVALID_PROPS,
    driver_unsupported_limit = DG_FILE_DRIVER_UNSUPPORTED_LIMIT,
    driver_version_mismatch = DG_FILE_DRIVER_VERSION_MISMATCH,
    driver_version_read_error = DG_FILE_DRIVER_VERSION_READ_ERROR,
    driver_closing = DG_FILE_DRIVER_CLOSING,
    platform_not_supported = DG_FILE_PLATFORM_NOT_SUPPORTED,
    io_not_supported = DG_FILE_IO_NOT_SUPPORTED,
    device_not_supported = DG_FILE_DEVICE_NOT_SUPPORTED,
    dgfs_driver_error = DG_FILE_DGFS_DRIVER_ERROR,
    tavo_driver_error = DG_FILE_TAVO_DRIVER_ERROR,
    tavo_pointer_invalid = DG_FILE_TAVO_POINTER_INVALID,
    tavo_memory_type_invalid = DG_FILE_TAVO_MEMORY_TYPE_INVALID,
    tavo_pointer_range_error = DG_FILE_TAVO_POINTER_RANGE_ERROR,
    tavo_context_mismatch = DG_FILE_TAVO_CONTEXT_MISMATCH,
    invalid_mapping_size = DG_FILE_INVALID_MAPPING_SIZE,
    invalid_mapping_range = DG_FILE_INVALID_MAPPING_RANGE,
    invalid_file_type = DG_FILE_INVALID_FILE_TYPE,
    invalid_file_open_flag = DG_FILE_INVALID_FILE_OPEN_FLAG,
    dio_not_set = DG_FILE_DIO_NOT_SET,
    invalid_value = DG_FILE_INVALID_VALUE,
    memory_already_registered = DG_FILE_MEMORY_ALREADY_REGISTERED,
    memory_not_registered = DG_FILE_MEMORY_NOT_REGISTERED,
    permission_denied = DG_FILE_PERMISSION_DENIED,
    driver_already_open = DG_FILE_DRIVER_ALREADY_OPEN,
    handle_not_registered = DG_FILE_HANDLE_NOT_REGISTERED,
    handle_already_registered = DG_FILE_HANDLE_ALREADY_REGISTERED,
    device_not_found = DG_FILE_DEVICE_NOT_FOUND,
    internal_error = DG_FILE_INTERNAL_ERROR,
    getnewfd_failed = DG_FILE_GETNEWFD_FAILED,
    dgfs_setup_error = DG_FILE_DGFS_SETUP_ERROR,
    io_disabled = DG_FILE_IO_DISABLED,
    batch_submit_failed = DG_FILE_BATCH_SUBMIT_FAILED,
    gpu_memory_pinning_failed = DG_FILE_GPU_MEMORY_PINNING_FAILED,
    io_max_error = DG_FILE_IO_MAX_ERROR,
    // A transfer returned -1 (file::read/write and the exact forms, a batch
    // completion, load).
    transfer_failed = 6001,
    // read_exact: the file ended before the range did; write_exact, store: a
    // write moved nothing (the file takes no more bytes).
    end_of_file = 6002,
    // load, store: the caller's progress hook asked them to stop.
    stopped = 6003,
};

// Each errc with its name, by value: for interfaces that name the codes
// themselves (the Python package's dgfile.Status).  Its tests hold it to the
// enum (every code category() has words for is listed).
struct errc_name {
    errc code;
    const char* name;  // the enumerator's own, e.g. "dio_not_set"
};
#define DGFILE_ERRC_NAME(e) errc_name{errc::e, #e}
inline constexpr errc_name errc_names[] = {
    DGFILE_ERRC_NAME(driver_not_initialized),
    DGFILE_ERRC_NAME(driver_invalid_props),
    DGFILE_ERRC_NAME(driver_unsupported_limit),
    DGFILE_ERRC_NAME(driver_version_mismatch),
    DGFILE_ERRC_NAME(driver_version_read_error),
    DGFILE_ERRC_NAME(driver_closing),
    DGFILE_ERRC_NAME(platform_not_supported),
    DGFILE_ERRC_NAME(io_not_supported),
    DGFILE_ERRC_NAME(device_not_supported),
    DGFILE_ERRC_NAME(dgfs_driver_error),
    DGFILE_ERRC_NAME(tavo_driver_error),
    DGFILE_ERRC_NAME(tavo_pointer_invalid),
    DGFILE_ERRC_NAME(tavo_memory_type_invalid),
    DGFILE_ERRC_NAME(tavo_pointer_range_error),
    DGFILE_ERRC_NAME(tavo_context_mismatch),
    DGFILE_ERRC_NAME(invalid_mapping_size),
    DGFILE_ERRC_NAME(invalid_mapping_range),
    DGFILE_ERRC_NAME(invalid_file_type),
    DGFILE_ERRC_NAME(invalid_file_open_flag),
    DGFILE_ERRC_NAME(dio_not_set),
    DGFILE_ERRC_NAME(invalid_value),
    DGFILE_ERRC_NAME(memory_already_registered),
    DGFILE_ERRC_NAME(memory_not_registered),
    DGFILE_ERRC_NAME(permission_denied),
    DGFILE_ERRC_NAME(driver_already_open),
    DGFILE_ERRC_NAME(handle_not_registered),
    DGFILE_ERRC_NAME(handle_already_registered),
    DGFILE_ERRC_NAME(device_not_found),
    DGFILE_ERRC_NAME(internal_error),
    DGFILE_ERRC_NAME(getnewfd_failed),
    DGFILE_ERRC_NAME(dgfs_setup_error),
    DGFILE_ERRC_NAME(io_disabled),
    DGFILE_ERRC_NAME(batch_submit_failed),
    DGFILE_ERRC_NAME(gpu_memory_pinning_failed),
    DGFILE_ERRC_NAME(io_max_error),
    DGFILE_ERRC_NAME(transfer_failed),
    DGFILE_ERRC_NAME(end_of_file),
    DGFILE_ERRC_NAME(stopped),
};
#undef DGFILE_ERRC_NAME

namespace detail {
constexpr bool errc_names_ascend() noexcept {
    for (std::size_t i = 1; i < sizeof errc_names / sizeof errc_names[0]; ++i)
        if (!(errc_names[i - 1].code < errc_names[i].code)) return false;
    return true;
}
}  // namespace detail
static_assert(detail::errc_names_ascend(), "errc_names: each code once, by value");

}  // namespace dgfile

namespace std {
template <>
struct is_error_code_enum<dgfile::errc> : true_type {};
}  // namespace std

namespace dgfile {

namespace detail {

class category_impl final : public std::error_category {
public:
    const char* name() const noexcept override { return "dgfile"; }
    std::string message(int code) const override {
        switch (static_cast<errc>(code)) {
        case errc::driver_not_initialized: return "driver not initialized";
        case errc::driver_invalid_props: return "invalid driver properties";
        case errc::driver_unsupported_limit: return "driver limit not supported";
        case errc::driver_version_mismatch: return "driver version mismatch";
        case errc::driver_version_read_error: return "driver version cannot be read";
        case errc::driver_closing: return "driver is closing";
        case errc::platform_not_supported: return "platform not supported";
        case errc::io_not_supported: return "I/O not supported on this file";
        case errc::device_not_supported: return "device not supported";
        case errc::dgfs_driver_error: return "file system driver error";
        case errc::tavo_driver_error: return "GPU driver error";
        case errc::tavo_pointer_invalid: return "invalid device pointer";
        case errc::tavo_memory_type_invalid: return "device memory of the wrong type";
        case errc::tavo_pointer_range_error: return "device range outside its allocation";
        case errc::tavo_context_mismatch: return "device context mismatch";
        case errc::invalid_mapping_size: return "invalid mapping size";
        case errc::invalid_mapping_range: return "invalid mapping range";
        case errc::invalid_file_type: return "file type not supported";
        case errc::invalid_file_open_flag: return "file open flags not supported";
        case errc::dio_not_set: return "descriptor not opened with O_DIRECT";
        case errc::invalid_value: return "invalid argument";
        case errc::memory_already_registered: return "device memory already registered";
        case errc::memory_not_registered: return "device memory not registered";
        case errc::permission_denied: return "permission denied";
        case errc::driver_already_open: return "driver already open";
        case errc::handle_not_registered: return "file handle not registered";
        case errc::handle_already_registered: return "file handle already registered";
        case errc::device_not_found: return "GPU device node cannot be opened";
        case errc::internal_error: return "out of memory in the library";
        case errc::getnewfd_failed: return "new descriptor cannot be made";
        case errc::dgfs_setup_error: return "file system driver set-up failed";
        case errc::io_disabled: return "I/O disabled";
        case errc::batch_submit_failed: return "batch refused";
        case errc::gpu_memory_pinning_failed: return "device memory cannot be pinned";
        case errc::io_max_error: return "I/O size limit exceeded";
        case errc::transfer_failed: return "transfer failed";
        case errc::end_of_file: return "end of file before the end of the range";
        case errc::stopped: return "stopped by the caller";
        }
        return "unknown dgfile status " + std::to_string(code);
    }
};

}  // namespace detail

// The category of every errc; name() is "dgfile".  Categories compare by
// address, so the instance has default visibility: shared objects built with
// hidden visibility still share one, and their codes compare equal.
DGFILE_API inline const std::error_category& category() noexcept {
    static const detail::category_impl instance;
    return instance;
}

inline std::error_code make_error_code(errc e) noexcept {
    return {static_cast<int>(e), category()};
}

// What the throwing forms throw; code() says what went wrong.
class error : public std::system_error {
public:
    using std::system_error::system_error;
};

namespace detail {

inline std::error_code status(DGfileError_t s) noexcept {
    return s.err == DG_FILE_SUCCESS ? std::error_code()
                                    : std::error_code(static_cast<int>(s.err), category());
}

inline std::error_code last_system_error() noexcept {
    return {errno, std::system_category()};
}

// A transfer's signed result as bytes moved; -1 sets transfer_failed.
inline std::size_t moved(ssize_t n, std::error_code& ec) noexcept {
    if (n < 0) {
        ec = errc::transfer_failed;
        return 0;
    }
    ec.clear();
    return static_cast<std::size_t>(n);
}

inline void throw_if(const std::error_code& ec, const char* what) {
    if (ec) throw error(ec, what);
}

template <class T, class = void>
struct has_read : std::false_type {};
template <class T>
struct has_read<T, std::void_t<decltype(std::declval<T&>().read(
                       std::declval<void*>(), std::size_t(), off_t()))>> : std::true_type {};
template <class T, class = void>
struct has_write : std::false_type {};
template <class T>
struct has_write<T, std::void_t<decltype(std::declval<T&>().write(
                        std::declval<const void*>(), std::size_t(), off_t()))>> : std::true_type {};

// The callback table of objects of type T: one per type, never released.
// An exception must not cross the library's C frames: one thrown by the
// object counts as a failed transfer (-1).
template <class T>
struct callbacks {
    template <class Call>
    static ssize_t guarded(const Call& call) noexcept {
        try {
            return static_cast<ssize_t>(call());
        } catch (...) {
            return -1;
        }
    }
    static ssize_t read(void* object, char* device, std::size_t size, __loff_t offset,
                        dgfileRDMAInfo_t*) noexcept {
        return guarded([&] {
            return static_cast<T*>(object)->read(static_cast<void*>(device), size,
                                                 static_cast<off_t>(offset));
        });
    }
    static ssize_t write(void* object, const char* device, std::size_t size, __loff_t offset,
                         dgfileRDMAInfo_t*) noexcept {
        return guarded([&] {
            return static_cast<T*>(object)->write(static_cast<const void*>(device), size,
                                                  static_cast<off_t>(offset));
        });
    }
    static constexpr DGfileFSOps_t make() noexcept {
        DGfileFSOps_t ops{nullptr, nullptr, nullptr, nullptr, nullptr};
        if constexpr (has_read<T>::value) ops.read = &read;
        if constexpr (has_write<T>::value) ops.write = &write;
        return ops;
    }
};
template <class T>
inline constexpr DGfileFSOps_t callback_table = callbacks<T>::make();

}  // namespace detail

// ---- The device connection -------------------------------------------------

// The device connection is one descriptor for the whole process (dgfile.h).
// There is deliberately no object owning it: its destructor would have to
// close the connection for every other user in the process (other threads'
// files, other libraries), under transfers that may still be running.
// Registering a file opens it lazily, so neither call is needed:
// driver_open() tells early that the device node cannot be opened
// (device_not_found), and driver_close() is for a program that knows no
// transfer or batch request runs anywhere in the process (REQUIRES, as in C).
// A transfer never opens the connection: after driver_close(), files already
// registered take the CPU copy until a registration (file::open, wrap,
// serve) or driver_open() opens it again.
inline void driver_open(std::error_code& ec) noexcept { ec = detail::status(dgFileDriverOpen()); }
inline void driver_open() {
    std::error_code ec;
    driver_open(ec);
    detail::throw_if(ec, "dgfile::driver_open");
}
inline void driver_close(std::error_code& ec) noexcept { ec = detail::status(dgFileDriverClose()); }
inline void driver_close() {
    std::error_code ec;
    driver_close(ec);
    detail::throw_if(ec, "dgfile::driver_close");
}

// ---- Files -------------------------------------------------------------------

// A registered file: owns its registration and, when it opened the file
// itself, the descriptor; a callback-served file owns the serving object.
// The destructor deregisters first, then releases the rest.
// REQUIRES: no transfer or unfinished batch request uses the file when it is
// destroyed or assigned to.
class file {
public:
    file() noexcept = default;  // empty: no registration
    file(file&& other) noexcept { swap(other); }
    file& operator=(file&& other) noexcept {
        file(std::move(other)).swap(*this);
        return *this;
    }
    ~file() { reset(); }

    // Opens `path` with flags | O_DIRECT | O_CLOEXEC (mode for O_CREAT) and
    // registers the descriptor, which the file owns and closes.  A failed
    // open gives its errno in std::system_category.
    static file open(const std::string& path, int flags, mode_t mode, std::error_code& ec) noexcept {
        int fd = ::open(path.c_str(), flags | O_DIRECT | O_CLOEXEC, mode);
        if (fd < 0) {
            ec = detail::last_system_error();
            return {};
        }
        file f = wrap(fd, ec);
        if (ec)
            ::close(fd);
        else
            f.owns_fd_ = true;
        return f;
    }
    static file open(const std::string& path, int flags, std::error_code& ec) noexcept {
        return open(path, flags, 0666, ec);
    }
    static file open(const std::string& path, int flags, mode_t mode = 0666) {
        std::error_code ec;
        file f = open(path, flags, mode, ec);
        if (ec) throw error(ec, "dgfile::file::open: " + path);
        return f;
    }

    // Registers `fd` (opened with O_DIRECT, else dio_not_set), which stays the
    // caller's: it must stay open while the file lives, and is not closed.
    static file wrap(int fd, std::error_code& ec) noexcept {
        DGfileDescr_t descr{};
        descr.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
        descr.handle.fd = fd;
        file f;
        ec = detail::status(dgFileHandleRegister(&f.handle_, &descr));
        if (!ec) f.fd_ = fd;
        return f;
    }
    static file wrap(int fd) {
        std::error_code ec;
        file f = wrap(fd, ec);
        detail::throw_if(ec, "dgfile::file::wrap");
        return f;
    }

    // A file served by `object` instead of a descriptor: the file keeps a copy
    // (moved in) as long as it lives.  The object has either or both of
    //   ssize_t read(void* device, std::size_t size, off_t offset);
    //   ssize_t write(const void* device, std::size_t size, off_t offset);
    // returning the bytes moved, or -1 (also what a thrown exception becomes);
    // the result reaches the caller unchanged.  A missing one moves nothing
    // (0).  As in C, `device` is the pointer given to the transfer without
    // its device offset.  Calls may come from several threads at once.
    // The error_code form throws std::bad_alloc and whatever making the
    // file's copy of `object` throws; nothing is registered then.
    template <class T>
    static file serve(T&& object, std::error_code& ec) {
        using Object = std::decay_t<T>;
        static_assert(detail::has_read<Object>::value || detail::has_write<Object>::value,
                      "the object needs a read or a write member of the documented shape");
        file f;
        f.object_ = new Object(std::forward<T>(object));
        f.destroy_ = [](void* p) { delete static_cast<Object*>(p); };
        DGfileDescr_t descr{};
        descr.type = DG_FILE_HANDLE_TYPE_USERSPACE_FS;
        descr.handle.handle = f.object_;
        descr.fs_ops = &detail::callback_table<Object>;
        ec = detail::status(dgFileHandleRegister(&f.handle_, &descr));
        if (ec) f.reset();
        return f;
    }
    template <class T>
    static file serve(T&& object) {
        std::error_code ec;
        file f = serve(std::forward<T>(object), ec);
        detail::throw_if(ec, "dgfile::file::serve");
        return f;
    }

    // size bytes at file_offset into device + device_offset (read), or the
    // other way (write), as dgFileRead/dgFileWrite: the bytes moved, fewer at
    // the end of the file or when the driver reported fewer; -1 from the
    // library is transfer_failed.
    std::size_t read(void* device, std::size_t size, off_t file_offset, off_t device_offset,
                     std::error_code& ec) const noexcept {
        return detail::moved(dgFileRead(handle_, device, size, file_offset, device_offset), ec);
    }
    std::size_t read(void* device, std::size_t size, off_t file_offset, off_t device_offset) const {
        ssize_t n = dgFileRead(handle_, device, size, file_offset, device_offset);
        if (n < 0) throw error(errc::transfer_failed, "dgfile::file::read");
        return static_cast<std::size_t>(n);
    }
    std::size_t write(const void* device, std::size_t size, off_t file_offset, off_t device_offset,
                      std::error_code& ec) const noexcept {
        return detail::moved(dgFileWrite(handle_, device, size, file_offset, device_offset), ec);
    }
    std::size_t write(const void* device, std::size_t size, off_t file_offset,
                      off_t device_offset) const {
        ssize_t n = dgFileWrite(handle_, device, size, file_offset, device_offset);
        if (n < 0) throw error(errc::transfer_failed, "dgfile::file::write");
        return static_cast<std::size_t>(n);
    }

    // The same, repeated over short transfers until the whole range moved;
    // each repeat passes the device pointer advanced by the bytes moved so
    // far (so callbacks, which never see the device offset, get the right
    // place too).  end_of_file when a transfer moves nothing first,
    // transfer_failed when one fails; the error_code forms then return the
    // bytes moved before.
    std::size_t read_exact(void* device, std::size_t size, off_t file_offset, off_t device_offset,
                           std::error_code& ec) const noexcept {
        return exact(size, ec, [&](std::size_t done) {
            return dgFileRead(handle_, static_cast<char*>(device) + done, size - done,
                              file_offset + static_cast<off_t>(done), device_offset);
        });
    }
    std::size_t read_exact(void* device, std::size_t size, off_t file_offset,
                           off_t device_offset) const {
        std::error_code ec;
        std::size_t n = read_exact(device, size, file_offset, device_offset, ec);
        detail::throw_if(ec, "dgfile::file::read_exact");
        return n;
    }
    std::size_t write_exact(const void* device, std::size_t size, off_t file_offset,
                            off_t device_offset, std::error_code& ec) const noexcept {
        return exact(size, ec, [&](std::size_t done) {
            return dgFileWrite(handle_, static_cast<const char*>(device) + done, size - done,
                               file_offset + static_cast<off_t>(done), device_offset);
        });
    }
    std::size_t write_exact(const void* device, std::size_t size, off_t file_offset,
                            off_t device_offset) const {
        std::error_code ec;
        std::size_t n = write_exact(device, size, file_offset, device_offset, ec);
        detail::throw_if(ec, "dgfile::file::write_exact");
        return n;
    }

    // The size of a descriptor's file (fstat); invalid_value for a file
    // without a descriptor.
    std::uint64_t size(std::error_code& ec) const noexcept {
        struct stat st {};
        if (fd_ < 0) {
            ec = errc::invalid_value;
            return 0;
        }
        if (::fstat(fd_, &st) != 0) {
            ec = detail::last_system_error();
            return 0;
        }
        ec.clear();
        return static_cast<std::uint64_t>(st.st_size);
    }
    std::uint64_t size() const {
        std::error_code ec;
        std::uint64_t n = size(ec);
        detail::throw_if(ec, "dgfile::file::size");
        return n;
    }

    explicit operator bool() const noexcept { return handle_ != nullptr; }
    DGfileHandle_t native_handle() const noexcept { return handle_; }
    int fd() const noexcept { return fd_; }  // -1 without a descriptor

    void swap(file& other) noexcept {
        std::swap(handle_, other.handle_);
        std::swap(fd_, other.fd_);
        std::swap(owns_fd_, other.owns_fd_);
        std::swap(object_, other.object_);
        std::swap(destroy_, other.destroy_);
    }

private:
    template <class Transfer>
    static std::size_t exact(std::size_t size, std::error_code& ec, const Transfer& once) noexcept {
        ec.clear();
        std::size_t done = 0;
        while (done < size) {
            ssize_t n = once(done);
            if (n <= 0) {
                ec = n < 0 ? errc::transfer_failed : errc::end_of_file;
                break;
            }
            done += static_cast<std::size_t>(n);
        }
        return done;
    }

    // Deregisters, then releases the object and the owned descriptor.
    void reset() noexcept {
        dgFileHandleDeregister(handle_);
        if (destroy_ != nullptr) destroy_(object_);
        if (owns_fd_) ::close(fd_);
        handle_ = nullptr;
        fd_ = -1;
        owns_fd_ = false;
        object_ = nullptr;
        destroy_ = nullptr;
    }

    DGfileHandle_t handle_ = nullptr;
    int fd_ = -1;
    bool owns_fd_ = false;
    void* object_ = nullptr;           // the serving object, or null
    void (*destroy_)(void*) = nullptr;  // deletes object_ with its type
};

// ---- Batches -----------------------------------------------------------------

enum class opcode : int { read = DGFILE_READ, write = DGFILE_WRITE };

// A completion's state: the library hands out complete and canceled only.
enum class io_status : int {
    waiting = DGFILE_WAITING,
    pending = DGFILE_PENDING,
    invalid = DGFILE_INVALID,
    canceled = DGFILE_CANCELED,
    complete = DGFILE_COMPLETE,
    timeout = DGFILE_TIMEOUT,
    failed = DGFILE_FAILED,
};

// One request: the values of one file::read/write call, and a cookie that
// comes back with its completion.
template <class Cookie>
struct request {
    opcode op = opcode::read;
    const dgfile::file* file = nullptr;  // must outlive the request's transfer
    void* device = nullptr;              // device memory (for a write, read only)
    std::size_t size = 0;
    off_t file_offset = 0;
    off_t device_offset = 0;
    Cookie cookie{};
};

template <class Cookie>
struct completion {
    Cookie cookie{};                      // the request's own
    io_status status = io_status::pending;  // complete, or canceled
    ssize_t result = -1;                  // bytes moved, or -1: the transfer failed
};

// A batch handle with a fixed number of request slots, over
// dgFileBatchIOSetUp and its siblings; one batch in flight at a time.
// Cookie travels in the C record's pointer, so it is a pointer, an integer,
// an enumeration or another trivially copyable value of at most that size.
// REQUIRES (the types cannot say it): calls on one batch come from one
// thread at a time, and every file named by a request outlives its transfer.
// The destructor waits for the requests still running, cancels nothing, and
// drops completions not collected.
template <class Cookie = std::size_t>
class batch {
    static_assert(std::is_trivially_copyable_v<Cookie> && std::is_default_constructible_v<Cookie> &&
                      sizeof(Cookie) <= sizeof(void*),
                  "a cookie is a pointer, an integer, an enumeration or a small trivially "
                  "copyable value");

public:
    using request_type = request<Cookie>;
    using completion_type = completion<Cookie>;

    batch() noexcept = default;  // empty: every call fails
    batch(unsigned capacity, std::error_code& ec) : params_(capacity), events_(capacity) {
        ec = detail::status(dgFileBatchIOSetUp(&handle_, capacity));
        if (ec) {
            params_.clear();
            events_.clear();
        }
    }
    explicit batch(unsigned capacity) {
        std::error_code ec;
        batch(capacity, ec).swap(*this);
        detail::throw_if(ec, "dgfile::batch");
    }
    batch(batch&& other) noexcept { swap(other); }
    batch& operator=(batch&& other) noexcept {
        batch(std::move(other)).swap(*this);
        return *this;
    }
    ~batch() { dgFileBatchIODestroy(handle_); }

    unsigned capacity() const noexcept { return static_cast<unsigned>(params_.size()); }
    // Completions of the current batch not handed out yet.
    unsigned pending() const noexcept { return pending_; }

    // Starts the requests of `requests` (any range of request_type) as the
    // new batch, and returns without waiting.  Refused with
    // batch_submit_failed, nothing started, while a completion of the
    // previous batch has not been collected (poll, wait), which C would drop,
    // or for more requests than capacity(); invalid_value for a request
    // without a file.  After cancel(), waits until the cancelled transfers
    // still under way have ended (the library refuses a new batch until then).
    // REQUIRES: every file named stays alive until its request completed.
    template <class Range>
    void submit(const Range& requests, std::error_code& ec) noexcept {
        if (pending_ != 0) {
            ec = errc::batch_submit_failed;
            return;
        }
        unsigned n = 0;
        for (const request_type& r : requests) {
            if (n == params_.size() || r.file == nullptr || !*r.file) {
                ec = n == params_.size() ? errc::batch_submit_failed : errc::invalid_value;
                return;
            }
            DGfileIOParams_t& p = params_[n++];
            p = DGfileIOParams_t{};
            p.mode = DGFILE_BATCH;
            p.u.batch.devPtr_base = r.device;
            p.u.batch.file_offset = r.file_offset;
            p.u.batch.devPtr_offset = r.device_offset;
            p.u.batch.size = r.size;
            p.fh = r.file->native_handle();
            p.opcode = static_cast<DGfileOpcode_t>(r.op);
            p.cookie = to_pointer(r.cookie);
        }
        DGfileIOParams_t none{};  // C wants an array even for no request
        DGfileIOParams_t* first = params_.empty() ? &none : params_.data();
        DGfileError_t s = dgFileBatchIOSubmit(handle_, n, first, 0);
        while (s.err == DG_FILE_BATCH_SUBMIT_FAILED && cancelled_) {
            std::this_thread::sleep_for(std::chrono::microseconds(10));
            s = dgFileBatchIOSubmit(handle_, n, first, 0);
        }
        ec = detail::status(s);
        if (!ec) {
            pending_ = n;
            cancelled_ = false;
        }
    }
    template <class Range>
    void submit(const Range& requests) {
        std::error_code ec;
        submit(requests, ec);
        detail::throw_if(ec, "dgfile::batch::submit");
    }

    // Waits for at least min_nr completions, or until none is left to hand
    // out; writes up to `room` of them to `out` and returns how many.  Each
    // completion is handed out once.  invalid_value for a min_nr above the
    // current batch's size or above `room`.  REQUIRES, as for every call of a
    // batch: no other thread calls this batch meanwhile.
    std::size_t poll(unsigned min_nr, completion_type* out, std::size_t room,
                     std::error_code& ec) noexcept {
        unsigned nr = static_cast<unsigned>(std::min(room, events_.size()));
        ec = detail::status(dgFileBatchIOGetStatus(handle_, min_nr, &nr,
                                                   events_.data(), nullptr));
        if (ec) return 0;
        for (unsigned i = 0; i < nr; ++i) {
            out[i].cookie = from_pointer(events_[i].cookie);
            out[i].status = static_cast<io_status>(events_[i].status);
            out[i].result = static_cast<ssize_t>(events_[i].ret);
        }
        pending_ -= nr;
        return nr;
    }
    std::size_t poll(unsigned min_nr, completion_type* out, std::size_t room) {
        std::error_code ec;
        std::size_t n = poll(min_nr, out, room, ec);
        detail::throw_if(ec, "dgfile::batch::poll");
        return n;
    }
    std::vector<completion_type> poll(unsigned min_nr, std::error_code& ec) {
        std::vector<completion_type> out(events_.size());
        out.resize(poll(min_nr, out.data(), out.size(), ec));
        return out;
    }
    std::vector<completion_type> poll(unsigned min_nr) {
        std::vector<completion_type> out(events_.size());
        out.resize(poll(min_nr, out.data(), out.size()));
        return out;
    }

    // Collects every completion not collected yet: the whole batch has
    // completed (or been cancelled) when it returns.
    std::vector<completion_type> wait(std::error_code& ec) { return poll(pending_, ec); }
    std::vector<completion_type> wait() { return poll(pending_); }

    // Marks every request of the current batch canceled (dgFileBatchIOCancel):
    // one not started moves nothing, a transfer under way runs to its end.
    // Their completions are still to be collected: the library hands one out
    // only once its transfer is over, with the bytes it moved (0 when it was
    // skipped), so after wait() nothing of the batch touches memory any more.
    void cancel(std::error_code& ec) noexcept {
        ec = detail::status(dgFileBatchIOCancel(handle_));
        if (!ec) cancelled_ = true;
    }
    void cancel() {
        std::error_code ec;
        cancel(ec);
        detail::throw_if(ec, "dgfile::batch::cancel");
    }

    DGfileBatchHandle_t native_handle() const noexcept { return handle_; }

    void swap(batch& other) noexcept {
        std::swap(handle_, other.handle_);
        std::swap(pending_, other.pending_);
        std::swap(cancelled_, other.cancelled_);
        params_.swap(other.params_);
        events_.swap(other.events_);
    }

private:
    static void* to_pointer(const Cookie& cookie) noexcept {
        std::uintptr_t bits = 0;
        std::memcpy(&bits, &cookie, sizeof cookie);
        return reinterpret_cast<void*>(bits);
    }
    static Cookie from_pointer(void* pointer) noexcept {
        const std::uintptr_t bits = reinterpret_cast<std::uintptr_t>(pointer);
        Cookie cookie{};
        std::memcpy(&cookie, &bits, sizeof cookie);
        return cookie;
    }

    DGfileBatchHandle_t handle_ = nullptr;
    unsigned pending_ = 0;    // completions of the current batch not handed out
    bool cancelled_ = false;  // the current batch was cancelled
    std::vector<DGfileIOParams_t> params_;  // capacity() slots, reused by submit
    std::vector<DGfileIOEvents_t> events_;  // capacity() slots, reused by poll
};

// ---- The loader ------------------------------------------------------------

// How load() and store() move their range: `lanes` threads of the call, each
// taking the next chunk of `chunk_size` bytes from a shared cursor (so a
// slow lane holds no other up) and moving it with one synchronous
// dgFileRead/dgFileWrite, repeated over short results until the chunk is
// whole.  A file with a descriptor gives each lane a handle of its own, on
// a new open of the file through /proc/self/fd (the caller's access mode
// and O_SYNC/O_DSYNC, with O_DIRECT), so that no lane waits for another's
// handle; where that open or its registration fails, the lane shares f's
// handle, which serialises its transfers with those of the other lanes
// doing the same.  The lanes of a served file share its handle: its object
// takes calls from several threads at once.  A range of one chunk, or one
// lane, without a progress hook is moved by the calling thread through f.
// On the CPU copy host memory stays within about lanes * chunk_size (the
// library's host buffer holds one transfer).  The defaults kept a disk of
// about 2.5 GB/s busy where fewer lanes did not and larger chunks gained
// nothing (docs/cpp.md, "What it costs").  Positional initialisation
// ({chunk_size, lanes}) reads as the {io_size, depth} of earlier releases.
struct load_options {
    std::size_t chunk_size = std::size_t(1) << 20;  // bytes per transfer
    unsigned lanes = 8;                             // threads moving chunks at once
    // When set, called on the calling thread about every progress_interval
    // while the lanes run, with the bytes moved so far (in any order) and
    // the range's size; false asks the lanes to stop after their current
    // chunk (errc::stopped).  An exception it throws stops and joins the
    // lanes, then leaves the call.
    std::function<bool(std::uint64_t done, std::uint64_t total)> progress{};
    std::chrono::milliseconds progress_interval{100};
};
using store_options = load_options;

// What the throwing load() and store() throw: code() is what their
// error_code forms set, moved() what those return.
class transfer_error : public error {
public:
    transfer_error(std::error_code ec, const char* what, std::size_t moved)
        : error(ec, what), moved_(moved) {}
    // The length of the range that moved whole from its start.
    std::size_t moved() const noexcept { return moved_; }

private:
    std::size_t moved_;
};

namespace detail {

// One load() or store(): the range cut into chunks, the lanes that move
// them, and the first offset of the range that did not move.
// Shared by the lanes: cursor_, moved_ and stop_ (atomics); hole_, why_ and
// finished_ under mutex_.  The rest is constant while the lanes run.
class lanes_run {
public:
    lanes_run(const file& f, const void* device, std::size_t size, off_t file_offset,
              std::size_t chunk, bool write) noexcept
        : f_(f), device_(static_cast<const char*>(device)), size_(size),
          file_offset_(file_offset), chunk_(chunk), chunks_((size - 1) / chunk + 1),
          write_(write) {}

    // REQUIRES: size > 0, chunk > 0, lanes > 0.  With one lane and no
    // progress hook the calling thread moves the range itself, through f.
    std::size_t run(unsigned lanes, const load_options& o, std::error_code& ec) {
        const std::size_t wanted = std::min<std::size_t>(lanes, chunks_);
        if (wanted == 1 && !o.progress) {
            move_through(f_);
            return result(ec);
        }
        joiner threads(*this);
        threads.list.reserve(wanted);
        try {
            while (threads.list.size() < wanted) threads.list.emplace_back([this] { lane(); });
        } catch (const std::system_error& e) {  // fewer lanes, unless none started
            if (threads.list.empty()) {
                ec = e.code();
                return 0;
            }
        }
        wait(threads.list.size(), o);
        threads.join();
        return result(ec);
    }

private:
    // Stops and joins the lanes on every way out, an exception included.
    struct joiner {
        explicit joiner(lanes_run& r) : run(r) {}
        ~joiner() {
            run.stop_.store(true, std::memory_order_relaxed);
            join();
        }
        void join() {
            for (std::thread& t : list)
                if (t.joinable()) t.join();
        }
        lanes_run& run;
        std::vector<std::thread> list;
    };

    // A lane: a handle of its own where the file has a descriptor, on a new
    // open of it (the caller's access mode and synchronous-write flags,
    // O_DIRECT), so that the library's CPU copy, which changes the flags and
    // position of the open file, leaves the other lanes' alone.  Where that
    // open or its registration fails (no /proc, permissions changed since
    // the caller's open), and for a served file, the lane shares f.
    void lane() noexcept {
        file own;
        const int flags = f_.fd() >= 0 ? ::fcntl(f_.fd(), F_GETFL) : -1;
        if (flags >= 0) {
            try {
                std::error_code ec;
                own = file::open("/proc/self/fd/" + std::to_string(f_.fd()),
                                 flags & (O_ACCMODE | O_SYNC | O_DSYNC), ec);
            } catch (...) {  // no memory for the path: share f
            }
        }
        move_through(own ? own : f_);
        own = file();  // deregistered before the caller may return
        std::lock_guard<std::mutex> lock(mutex_);
        ++finished_;
        done_.notify_one();
    }

    // Takes chunks until none is left or the run stops.
    void move_through(const file& through) noexcept {
        while (!stop_.load(std::memory_order_relaxed)) {
            const std::size_t k = cursor_.fetch_add(1, std::memory_order_relaxed);
            if (k >= chunks_) return;
            const std::size_t begin = k * chunk_;
            const std::size_t len = std::min(chunk_, size_ - begin);
            for (std::size_t done = 0; done < len;) {
                // The pointer, not the device offset, carries the place: a
                // served file sees only the pointer.
                const std::size_t at = begin + done;
                const off_t where = file_offset_ + static_cast<off_t>(at);
                const ssize_t n =
                    write_ ? dgFileWrite(through.native_handle(), device_ + at, len - done, where, 0)
                           : dgFileRead(through.native_handle(), const_cast<char*>(device_ + at),
                                        len - done, where, 0);
                if (n <= 0) {
                    // A read that moves nothing met the end of the file,
                    // which ends the range without an error.
                    end_at(at, n < 0 ? std::error_code(errc::transfer_failed)
                                     : write_ ? std::error_code(errc::end_of_file)
                                              : std::error_code());
                    return;
                }
                const std::size_t got = std::min(static_cast<std::size_t>(n), len - done);
                done += got;
                moved_.fetch_add(got, std::memory_order_relaxed);
            }
        }
    }

    // The range ends at `offset` (relative to its start), unless an earlier
    // end is known; every lane stops after its chunk.
    void end_at(std::size_t offset, std::error_code why) noexcept {
        std::lock_guard<std::mutex> lock(mutex_);
        if (offset < hole_) {
            hole_ = offset;
            why_ = why;
        }
        stop_.store(true, std::memory_order_relaxed);
    }

    // The calling thread, until `lanes` lanes have finished: the progress
    // hook every interval, if there is one.
    void wait(std::size_t lanes, const load_options& o) {
        std::unique_lock<std::mutex> lock(mutex_);
        const auto all_done = [&] { return finished_ == lanes; };
        if (!o.progress) {
            done_.wait(lock, all_done);
            return;
        }
        while (!done_.wait_for(lock, o.progress_interval, all_done)) {
            lock.unlock();
            const bool go_on = o.progress(moved_.load(std::memory_order_relaxed), size_);
            if (!go_on) stop_.store(true, std::memory_order_relaxed);
            lock.lock();
        }
    }

    // Once the lanes are joined: every chunk the cursor handed out either
    // moved whole or recorded where it ended, and those it did not hand out
    // lie after all of them.
    std::size_t result(std::error_code& ec) {
        const std::size_t handed = std::min(cursor_.load(std::memory_order_relaxed), chunks_);
        const std::size_t whole = handed == chunks_ ? size_ : handed * chunk_;
        std::lock_guard<std::mutex> lock(mutex_);
        if (hole_ < whole) {
            ec = why_;
            return hole_;
        }
        if (whole < size_)
            ec = errc::stopped;
        else
            ec.clear();
        return whole;
    }

    const file& f_;
    const char* const device_;
    const std::size_t size_;
    const off_t file_offset_;
    const std::size_t chunk_, chunks_;
    const bool write_;
    std::atomic<std::size_t> cursor_{0};  // the next chunk to hand out
    std::atomic<std::uint64_t> moved_{0};  // bytes moved, for the progress hook
    std::atomic<bool> stop_{false};
    std::mutex mutex_;
    std::condition_variable done_;
    std::size_t finished_ = 0;         // lanes that have ended
    std::size_t hole_ = SIZE_MAX;      // the first offset known not to have moved
    std::error_code why_;              // and why: none for a read at the end of the file
};

inline std::size_t move_range(const file& f, const void* device, std::size_t size, off_t file_offset,
                         const load_options& o, bool write, std::error_code& ec) {
    if (o.chunk_size == 0 || o.lanes == 0 || (o.progress && o.progress_interval.count() <= 0)) {
        ec = errc::invalid_value;
        return 0;
    }
    ec.clear();
    if (size == 0) return 0;
    return lanes_run(f, device, size, file_offset, o.chunk_size, write).run(o.lanes, o, ec);
}

}  // namespace detail

// Reads `size` bytes of `f` from file_offset on into device memory at
// `device` with the lanes of `options`, and returns the length of the range
// that arrived whole from its start: `size`, or less when the file ends
// first.  transfer_failed when a transfer failed there (the return value is
// then the first offset, from the start of the range, that did not arrive),
// stopped when the progress hook asked to stop before the whole range
// arrived; invalid_value for a chunk_size or lanes of 0, or a progress hook
// with an interval that is not positive.  Device memory past the returned
// length may have been written too.  With O_DIRECT, keep file_offset,
// chunk_size and `device` aligned to the file system's block size: the
// kernel usually refuses a transfer that is not, and the library then
// takes the CPU copy.
// A whole file: load(f, device, f.size()).
inline std::size_t load(const file& f, void* device, std::size_t size, off_t file_offset,
                        const load_options& options, std::error_code& ec) {
    return detail::move_range(f, device, size, file_offset, options, false, ec);
}
inline std::size_t load(const file& f, void* device, std::size_t size, off_t file_offset = 0,
                        const load_options& options = {}) {
    std::error_code ec;
    std::size_t n = load(f, device, size, file_offset, options, ec);
    if (ec) throw transfer_error(ec, "dgfile::load", n);
    return n;
}

// Writes `size` bytes of device memory at `device` into `f` from
// file_offset on, with the same lanes (a checkpoint writer); returns the
// length written whole from the start of the range: `size`, or less with an
// error.  end_of_file when a write moved nothing (the file takes no more),
// transfer_failed when one failed, stopped and invalid_value as for load().
// File bytes past the returned length may have been written too.  With
// O_DIRECT the same alignment holds as for load().
inline std::size_t store(const file& f, const void* device, std::size_t size, off_t file_offset,
                         const store_options& options, std::error_code& ec) {
    return detail::move_range(f, device, size, file_offset, options, true, ec);
}
inline std::size_t store(const file& f, const void* device, std::size_t size,
                         off_t file_offset = 0, const store_options& options = {}) {
    std::error_code ec;
    std::size_t n = store(f, device, size, file_offset, options, ec);
    if (ec) throw transfer_error(ec, "dgfile::store", n);
    return n;
}

}  // namespace dgfile

#endif  // DGFILE_HPP

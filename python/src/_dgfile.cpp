// SPDX-License-Identifier: Apache-2.0
//
// _dgfile: the compiled part of the Python package dgfile, a thin binding of
// dgfile.hpp (files, batches, the loader) and of the application runtime
// (device buffers).  What it adds is what only Python needs:
//  - argument checks that name the argument (TypeError, ValueError) before
//    anything reaches the C library;
//  - dgfile.Error for every failed call (the status as dgfile.Status), and
//    OSError for a failed open(2);
//  - the buffer protocol for copies between host objects and device memory;
//  - the interpreter lock released around every call that may block or move
//    data, re-taken before any Python object is touched;
//  - any Python object as a batch cookie: the C++ batch carries an index
//    into the batch's table of Python objects, which keeps them alive.
//
// Who calls it: dgfile/__init__.py imports it once the GPU runtime (or the
// simulated platform) is loaded; users reach it through the package.
//
// Threads and locks: Python objects are touched only with the interpreter
// lock held.  A File or DeviceBuffer counts the transfers using it (InUse:
// an atomic count, and a mutex for the wait), so close() waits for them
// instead of releasing what they use, and counts the batch requests naming it (interpreter lock), so close()
// refuses while a batch still holds it.  A Batch takes calls from one thread
// at a time, as the C interface requires; a second thread gets RuntimeError.
#include <dgfile.hpp>
#include <dgrt.h>
#include <pybind11/pybind11.h>

#include <atomic>
#include <climits>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace py = pybind11;

namespace {

// ---- Errors ------------------------------------------------------------------

// A failed call, raised in Python as dgfile.Error(code, message, moved).
struct StatusError {
    int code;
    std::string message;
    std::size_t moved;
};

// A failed system call of this layer without a path to name, raised as OSError.
struct SystemError {
    int error;
};

// dgfile.Error and the other classes of dgfile/_types.py, looked up once.
// The references are kept for the life of the process: interpreter shutdown
// must not release them after the module is gone.
py::handle PackageClass(const char* name) {
    py::object cls = py::module_::import("dgfile._types").attr(name);
    return cls.release();
}

[[noreturn]] void Raise(const std::error_code& ec, const char* where, std::size_t moved = 0) {
    if (ec.category() == dgfile::category())
        throw StatusError{ec.value(), std::string(where) + ": " + ec.message(), moved};
    throw SystemError{ec.value()};
}

std::string TypeName(py::handle h) { return Py_TYPE(h.ptr())->tp_name; }

std::string Repr(py::handle h) { return py::repr(h).cast<std::string>(); }

// ---- Arguments -------------------------------------------------------------------

constexpr long long kMaxOffset = LLONG_MAX;  // off_t and ssize_t bound every size

// A non-negative integer argument (an int or any object with __index__, but
// not a bool) of at most `max`.
long long IntArg(py::handle h, const std::string& name, long long max = kMaxOffset) {
    py::object index;  // for an object that is not an int itself, its __index__
    PyObject* n = h.ptr();
    if (!PyLong_CheckExact(n)) {  // the common case skips the conversion
        if (PyBool_Check(n) || !PyIndex_Check(n))
            throw py::type_error(name + " must be an int, not " + TypeName(h));
        index = py::reinterpret_steal<py::object>(PyNumber_Index(n));
        if (!index) throw py::error_already_set();
        n = index.ptr();
    }
    int overflow = 0;
    long long v = PyLong_AsLongLongAndOverflow(n, &overflow);
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    if (overflow < 0 || (overflow == 0 && v < 0))
        throw py::value_error(name + " must not be negative, got " + Repr(h));
    if (overflow > 0 || v > max)
        throw py::value_error(name + " is too large: " + Repr(h) + " (at most " +
                              std::to_string(max) + ")");
    return v;
}

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

// What File and DeviceBuffer share: the closed flag, the transfers running
// (InUse) and the batch requests naming the object (interpreter lock).
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

// ---- Device memory ---------------------------------------------------------------

// Device memory from the application runtime (dgMalloc), freed by close().
class DeviceBuffer : public Closable {
public:
    explicit DeviceBuffer(py::handle size_arg) {
        std::size_t size = static_cast<std::size_t>(IntArg(size_arg, "size"));
        if (size == 0) throw py::value_error("size must be positive");
        int rc;
        {
            py::gil_scoped_release nogil;
            rc = dgMalloc(&ptr_, size);
        }
        if (rc == dgErrorMemoryAllocation) {
            PyErr_Format(PyExc_MemoryError, "dgfile.DeviceBuffer: the device has no room for %zu bytes",
                         size);
            throw py::error_already_set();
        }
        if (rc != dgSuccess)
            throw std::runtime_error("dgfile.DeviceBuffer: dgMalloc of " + std::to_string(size) +
                                     " bytes failed with runtime error " + std::to_string(rc));
        size_ = size;
    }
    ~DeviceBuffer() {
        if (!closed) dgFree(ptr_);
    }
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    std::uintptr_t Ptr() const {
        CheckOpen("dgfile.DeviceBuffer");
        return reinterpret_cast<std::uintptr_t>(ptr_);
    }
    std::size_t Size() const { return size_; }
    void* Raw() const { return ptr_; }

    // Copies between a host buffer and [offset, offset + its length).
    void Copy(py::handle host, py::handle offset_arg, bool to_device) {
        const char* where = to_device ? "dgfile.DeviceBuffer.copy_from" : "dgfile.DeviceBuffer.copy_to";
        const char* name = to_device ? "src" : "dst";
        std::size_t offset = static_cast<std::size_t>(IntArg(offset_arg, "offset"));
        Py_buffer view;
        int flags = PyBUF_ANY_CONTIGUOUS | (to_device ? 0 : PyBUF_WRITABLE);
        if (PyObject_GetBuffer(host.ptr(), &view, flags) != 0) {
            PyErr_Clear();
            throw py::type_error(std::string(name) + " must be a " +
                                 (to_device ? "" : "writable ") +
                                 "contiguous buffer (bytes, bytearray, memoryview, NumPy array), not " +
                                 TypeName(host));
        }
        std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
        std::size_t n = static_cast<std::size_t>(view.len);
        if (offset > size_ || n > size_ - offset)
            throw py::value_error(std::string(where) + ": offset " + std::to_string(offset) + " + " +
                                  std::to_string(n) + " bytes of " + name + " run past the buffer's " +
                                  std::to_string(size_) + " bytes");
        Use use(*this, "dgfile.DeviceBuffer");
        char* device = static_cast<char*>(ptr_) + offset;
        int rc;
        {
            py::gil_scoped_release nogil;
            rc = to_device ? dgMemcpy(device, view.buf, n, dgMemcpyHostToDevice)
                           : dgMemcpy(view.buf, device, n, dgMemcpyDeviceToHost);
        }
        if (rc != dgSuccess)
            throw std::runtime_error(std::string(where) + ": dgMemcpy failed with runtime error " +
                                     std::to_string(rc));
    }

    void Close() {
        if (BeginClose("dgfile.DeviceBuffer")) dgFree(ptr_);
    }

private:
    void* ptr_ = nullptr;
    std::size_t size_ = 0;
};

// A device address taken from an argument, with what is known of its extent.
struct Device {
    void* address = nullptr;
    std::optional<std::uint64_t> extent;  // bytes from address on, when known
    DeviceBuffer* buffer = nullptr;       // the DeviceBuffer it came from, if any
};

std::uintptr_t AddressOf(py::handle value, const std::string& name) {
    std::uintptr_t a = static_cast<std::uintptr_t>(IntArg(value, name, LLONG_MAX));
    if (a == 0) throw py::value_error(name + " is 0, a null device address");
    return a;
}

// The bytes of a __dg_array_interface__ dictionary's array: the product of
// its shape times the item size of its typestr (e.g. "<f4"), when both are
// given; strides other than None mean the array is not contiguous.
std::optional<std::uint64_t> InterfaceExtent(const py::dict& d, const std::string& name) {
    if (d.contains("strides") && !d["strides"].is_none())
        throw py::value_error(name + ": __dg_array_interface__ describes a non-contiguous array");
    if (!d.contains("shape") || !d.contains("typestr")) return std::nullopt;
    std::string type = py::str(d["typestr"]);
    std::uint64_t bytes = static_cast<std::uint64_t>(IntArg(py::int_(std::stoll(type.substr(2))), name));
    for (py::handle dim : py::tuple(d["shape"])) bytes *= static_cast<std::uint64_t>(IntArg(dim, name));
    return bytes;
}

// The device memory an argument names (see DEVICE_ADDRESSES in docs/python.md):
// a DeviceBuffer, an int, an object with an int attribute `ptr`, a method
// data_ptr() returning an int, or a __dg_array_interface__ dictionary whose
// "data" is (address, read_only) or an address.  `size` bytes from
// `offset` on must lie inside what is known of its extent; a read into it
// needs it writable.
Device DeviceArg(py::handle obj, const char* name, std::uint64_t offset, std::uint64_t size,
                 bool receives) {
    Device d;
    std::string n = name;
    static PyTypeObject* const buffer_type =
        reinterpret_cast<PyTypeObject*>(py::type::of<DeviceBuffer>().ptr());
    if (PyObject_TypeCheck(obj.ptr(), buffer_type)) {
        auto& b = obj.cast<DeviceBuffer&>();
        b.CheckOpen((n + " (a dgfile.DeviceBuffer)").c_str());
        d.address = b.Raw();
        d.extent = b.Size();
        d.buffer = &b;
    } else if (PyIndex_Check(obj.ptr()) && !PyBool_Check(obj.ptr())) {
        d.address = reinterpret_cast<void*>(AddressOf(obj, n));
    } else if (py::hasattr(obj, "ptr")) {
        d.address = reinterpret_cast<void*>(AddressOf(obj.attr("ptr"), n + ".ptr"));
    } else if (py::hasattr(obj, "data_ptr")) {
        d.address = reinterpret_cast<void*>(AddressOf(obj.attr("data_ptr")(), n + ".data_ptr()"));
    } else if (py::hasattr(obj, "__dg_array_interface__")) {
        py::object iface = obj.attr("__dg_array_interface__");
        if (!py::isinstance<py::dict>(iface) || !iface.cast<py::dict>().contains("data"))
            throw py::type_error(n + ".__dg_array_interface__ must be a dict with a \"data\" entry");
        py::dict dict = iface.cast<py::dict>();
        py::object data = dict["data"];
        bool read_only = false;
        if (py::isinstance<py::tuple>(data) && py::len(data) == 2) {
            read_only = py::bool_(data.cast<py::tuple>()[1]);
            data = data.cast<py::tuple>()[0];
        }
        d.address = reinterpret_cast<void*>(AddressOf(data, n + ".__dg_array_interface__[\"data\"]"));
        if (read_only && receives)
            throw py::value_error(n + " is read-only device memory; a read cannot put bytes there");
        d.extent = InterfaceExtent(dict, n);
    } else {
        throw py::type_error(n + " must be a device address (int) or an object exposing one "
                             "(dgfile.DeviceBuffer, an int attribute ptr, a method data_ptr(), a "
                             "__dg_array_interface__ dict), not " + TypeName(obj));
    }
    if (d.extent && (offset > *d.extent || size > *d.extent - offset))
        throw py::value_error(n + ": offset " + std::to_string(offset) + " + size " +
                              std::to_string(size) + " run past its " + std::to_string(*d.extent) +
                              " bytes");
    return d;
}

// ---- Files -------------------------------------------------------------------------

int ModeFlags(const std::string& mode) {
    if (mode == "r") return O_RDONLY;
    if (mode == "r+") return O_RDWR;
    if (mode == "w") return O_WRONLY | O_CREAT | O_TRUNC;
    if (mode == "w+") return O_RDWR | O_CREAT | O_TRUNC;
    if (mode == "x") return O_WRONLY | O_CREAT | O_EXCL;
    if (mode == "x+") return O_RDWR | O_CREAT | O_EXCL;
    throw py::value_error("mode must be \"r\", \"r+\", \"w\", \"w+\", \"x\" or \"x+\", not " +
                          Repr(py::str(mode)));
}

class File : public Closable {
public:
    File(py::handle path_or_fd, const std::string& mode) {
        int flags = ModeFlags(mode);
        std::error_code ec;
        if (PyIndex_Check(path_or_fd.ptr()) && !PyBool_Check(path_or_fd.ptr())) {
            int fd = static_cast<int>(IntArg(path_or_fd, "path_or_fd", INT_MAX));
            py::gil_scoped_release nogil;
            f_ = dgfile::file::wrap(fd, ec);
        } else if (py::isinstance<py::str>(path_or_fd) || py::isinstance<py::bytes>(path_or_fd) ||
                   py::hasattr(path_or_fd, "__fspath__")) {
            name_ = py::module_::import("os").attr("fsdecode")(path_or_fd);
            std::string path = py::module_::import("os").attr("fsencode")(path_or_fd).cast<std::string>();
            if (path.find('\0') != std::string::npos)
                throw py::value_error("path_or_fd contains a NUL byte");
            py::gil_scoped_release nogil;
            f_ = dgfile::file::open(path, flags, 0666, ec);
        } else {
            throw py::type_error("path_or_fd must be a path (str, bytes, os.PathLike) or a file "
                                 "descriptor (int), not " + TypeName(path_or_fd));
        }
        if (ec && ec.category() != dgfile::category() && !name_.is_none()) {
            errno = ec.value();  // open(2) failed: FileNotFoundError and the like, with the path
            PyErr_SetFromErrnoWithFilenameObject(PyExc_OSError, name_.ptr());
            throw py::error_already_set();
        }
        if (ec) Raise(ec, "dgfile.File");
    }
    ~File() = default;  // a File dropped without close(): f_ deregisters and closes
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // read/write and their exact forms; see the docstrings below.
    std::size_t Transfer(bool write, bool exact, py::handle device, py::handle size_arg,
                         py::handle file_offset_arg, py::handle device_offset_arg) {
        static const char* const kWhere[2][2] = {{"dgfile.File.read", "dgfile.File.read_exact"},
                                                 {"dgfile.File.write", "dgfile.File.write_exact"}};
        const char* where = kWhere[write][exact];
        long long size = IntArg(size_arg, "size");
        long long file_offset = IntArg(file_offset_arg, "file_offset", kMaxOffset - size);
        long long device_offset = IntArg(device_offset_arg, "device_offset", kMaxOffset - size);
        Device d = DeviceArg(device, "device", static_cast<std::uint64_t>(device_offset),
                             static_cast<std::uint64_t>(size), !write);
        Use use(*this, "dgfile.File");
        Use buffer_use = d.buffer ? Use(*d.buffer, "dgfile.DeviceBuffer") : Use();
        std::error_code ec;
        std::size_t moved;
        {
            py::gil_scoped_release nogil;
            std::size_t n = static_cast<std::size_t>(size);
            off_t fo = static_cast<off_t>(file_offset), dof = static_cast<off_t>(device_offset);
            if (write)
                moved = exact ? f_.write_exact(d.address, n, fo, dof, ec) : f_.write(d.address, n, fo, dof, ec);
            else
                moved = exact ? f_.read_exact(d.address, n, fo, dof, ec) : f_.read(d.address, n, fo, dof, ec);
        }
        if (ec) Raise(ec, where, moved);
        return moved;
    }

    std::uint64_t Size() {
        Use use(*this, "dgfile.File");
        std::error_code ec;
        std::uint64_t n = f_.size(ec);
        if (ec) Raise(ec, "dgfile.File.size");
        return n;
    }
    int Fd() const {
        CheckOpen("dgfile.File");
        return f_.fd();
    }
    py::object Name() const { return name_; }

    void Close() {
        if (!BeginClose("dgfile.File")) return;
        py::gil_scoped_release nogil;
        f_ = dgfile::file();
    }

    const dgfile::file& Native() const { return f_; }

private:
    dgfile::file f_;
    py::object name_ = py::none();  // the path it was opened with, if any
};

// ---- Batches -------------------------------------------------------------------------

// What a request in flight holds: its cookie, and references that keep its
// file and device memory alive and open until its completion is collected.
struct Slot {
    py::object cookie, file, device;
    File* f = nullptr;
    DeviceBuffer* buffer = nullptr;

    void Clear() {
        if (f != nullptr) --f->batch_uses;
        if (buffer != nullptr) --buffer->batch_uses;
        f = nullptr;
        buffer = nullptr;
        cookie = file = device = py::object();
    }
};

class Batch {
public:
    explicit Batch(py::handle max_requests) {
        unsigned capacity = static_cast<unsigned>(IntArg(max_requests, "max_requests", UINT_MAX));
        if (capacity == 0) throw py::value_error("max_requests must be positive");
        std::error_code ec;
        {
            py::gil_scoped_release nogil;
            batch_ = dgfile::batch<std::size_t>(capacity, ec);
        }
        if (ec) Raise(ec, "dgfile.Batch");
        slots_.resize(capacity);
    }
    ~Batch() {
        {
            py::gil_scoped_release nogil;
            batch_ = dgfile::batch<std::size_t>();  // waits for the requests still running
        }
        for (Slot& s : slots_) s.Clear();
    }
    Batch(const Batch&) = delete;
    Batch& operator=(const Batch&) = delete;

    void Submit(py::handle requests) {
        Call call(*this, "dgfile.Batch.submit");
        auto items = py::reinterpret_steal<py::object>(
            PySequence_Fast(requests.ptr(), "requests must be an iterable of dgfile.Request"));
        if (!items) throw py::error_already_set();
        std::size_t n = static_cast<std::size_t>(PySequence_Fast_GET_SIZE(items.ptr()));
        if (n > slots_.size())
            throw py::value_error("requests: " + std::to_string(n) + " requests for a batch of " +
                                  std::to_string(slots_.size()) + " slots");
        std::vector<dgfile::request<std::size_t>> round(n);
        std::vector<Slot> held(n);
        for (std::size_t i = 0; i < n; ++i) {
            py::handle r = PySequence_Fast_GET_ITEM(items.ptr(), static_cast<Py_ssize_t>(i));
            std::string name = "requests[" + std::to_string(i) + "]";
            for (const char* field : {"op", "file", "device", "size", "file_offset", "device_offset", "cookie"})
                if (!py::hasattr(r, field))
                    throw py::type_error(name + " must be a dgfile.Request, not " + TypeName(r));
            long long op = IntArg(r.attr("op"), name + ".op", 1);
            py::object file = r.attr("file");
            if (!py::isinstance<File>(file))
                throw py::type_error(name + ".file must be a dgfile.File, not " + TypeName(file));
            File& f = file.cast<File&>();
            f.CheckOpen((name + ".file").c_str());
            long long size = IntArg(r.attr("size"), name + ".size");
            long long fo = IntArg(r.attr("file_offset"), name + ".file_offset", kMaxOffset - size);
            long long dof = IntArg(r.attr("device_offset"), name + ".device_offset", kMaxOffset - size);
            py::object device = r.attr("device");
            Device d = DeviceArg(device, (name + ".device").c_str(), static_cast<std::uint64_t>(dof),
                                 static_cast<std::uint64_t>(size), op == DGFILE_READ);
            round[i] = {static_cast<dgfile::opcode>(op), &f.Native(), d.address,
                        static_cast<std::size_t>(size), static_cast<off_t>(fo),
                        static_cast<off_t>(dof), i};
            held[i] = Slot{r.attr("cookie"), file, device, &f, d.buffer};
        }
        if (batch_.pending() != 0)
            Raise(dgfile::errc::batch_submit_failed, "dgfile.Batch.submit: completions of the "
                  "previous batch are still to be collected (poll, wait)");
        for (std::size_t i = 0; i < n; ++i) {
            ++held[i].f->batch_uses;
            if (held[i].buffer != nullptr) ++held[i].buffer->batch_uses;
            slots_[i] = std::move(held[i]);
        }
        std::error_code ec;
        {
            py::gil_scoped_release nogil;
            batch_.submit(round, ec);
        }
        if (ec) {
            for (std::size_t i = 0; i < n; ++i) slots_[i].Clear();
            Raise(ec, "dgfile.Batch.submit");
        }
    }

    py::list Poll(py::handle min_arg) {
        Call call(*this, "dgfile.Batch.poll");
        unsigned min_nr = static_cast<unsigned>(IntArg(min_arg, "min_completions", slots_.size()));
        return Collect(min_nr);
    }
    py::list Wait() {
        Call call(*this, "dgfile.Batch.wait");
        return Collect(batch_.pending());
    }
    void Cancel() {
        Call call(*this, "dgfile.Batch.cancel");
        std::error_code ec;
        batch_.cancel(ec);
        if (ec) Raise(ec, "dgfile.Batch.cancel");
    }
    void Close() {
        if (closed_) return;
        Call call(*this, "dgfile.Batch.close");
        closed_ = true;
        {
            py::gil_scoped_release nogil;
            batch_ = dgfile::batch<std::size_t>();
        }
        for (Slot& s : slots_) s.Clear();
    }
    unsigned Pending() const { return batch_.pending(); }
    std::size_t Capacity() const { return slots_.size(); }
    bool Closed() const { return closed_; }

private:
    // One call at a time, on an open batch (the interpreter lock guards busy_).
    class Call {
    public:
        Call(Batch& b, const char* what) : b_(b) {
            if (b.closed_) throw py::value_error(std::string(what) + ": the batch is closed");
            if (b.busy_)
                throw std::runtime_error(std::string(what) + ": another thread is using this "
                                         "batch; a batch takes calls from one thread at a time");
            b.busy_ = true;
        }
        ~Call() { b_.busy_ = false; }
        Call(const Call&) = delete;
        Call& operator=(const Call&) = delete;

    private:
        Batch& b_;
    };

    py::list Collect(unsigned min_nr) {
        static py::handle completion = PackageClass("Completion");
        static py::handle io_status = PackageClass("IoStatus");
        std::vector<dgfile::completion<std::size_t>> done(slots_.size());
        std::error_code ec;
        std::size_t n;
        {
            py::gil_scoped_release nogil;
            n = batch_.poll(min_nr, done.data(), done.size(), ec);
        }
        if (ec) Raise(ec, "dgfile.Batch.poll");
        py::list out;
        for (std::size_t i = 0; i < n; ++i) {
            Slot& s = slots_[done[i].cookie];
            out.append(completion(s.cookie, io_status(static_cast<int>(done[i].status)),
                                  static_cast<long long>(done[i].result)));
            s.Clear();
        }
        return out;
    }

    std::vector<Slot> slots_;              // by request index; cleared as collected
    dgfile::batch<std::size_t> batch_;     // destroyed first: waits for its requests
    bool busy_ = false;
    bool closed_ = false;
};

// ---- The loader --------------------------------------------------------------------------

std::size_t Load(py::handle source, py::handle device, py::handle io_size_arg, py::handle depth_arg,
                 py::handle offset_arg, py::handle size_arg) {
    std::size_t io_size = static_cast<std::size_t>(IntArg(io_size_arg, "io_size"));
    unsigned depth = static_cast<unsigned>(IntArg(depth_arg, "depth", UINT_MAX));
    if (io_size == 0) throw py::value_error("io_size must be positive");
    if (depth == 0) throw py::value_error("depth must be positive");
    long long offset = IntArg(offset_arg, "offset");
    std::optional<File> opened;
    File* f;
    if (py::isinstance<File>(source)) {
        f = &source.cast<File&>();
    } else if (py::isinstance<py::str>(source) || py::isinstance<py::bytes>(source) ||
               py::hasattr(source, "__fspath__")) {
        f = &opened.emplace(source, "r");
    } else {
        throw py::type_error("source must be a path (str, bytes, os.PathLike) or a dgfile.File, not " +
                             TypeName(source));
    }
    long long size;
    if (size_arg.is_none()) {
        std::uint64_t file_size = f->Size();
        size = file_size > static_cast<std::uint64_t>(offset) ? static_cast<long long>(file_size) - offset : 0;
    } else {
        size = IntArg(size_arg, "size", kMaxOffset - offset);
    }
    Device d = DeviceArg(device, "device", 0, static_cast<std::uint64_t>(size), true);
    Use use(*f, "dgfile.File");
    Use buffer_use = d.buffer ? Use(*d.buffer, "dgfile.DeviceBuffer") : Use();
    std::error_code ec;
    std::size_t n;
    {
        py::gil_scoped_release nogil;
        n = dgfile::load(f->Native(), d.address, static_cast<std::size_t>(size),
                         static_cast<off_t>(offset), {io_size, depth}, ec);
    }
    if (ec) Raise(ec, "dgfile.load", n);
    return n;
}

}  // namespace

PYBIND11_MODULE(_dgfile, m) {
    m.doc() = "The compiled part of dgfile; use the package dgfile, which re-exports it.";

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const StatusError& e) {
            static py::handle error = PackageClass("Error");
            py::object instance = error(e.code, e.message, e.moved);
            PyErr_SetObject(error.ptr(), instance.ptr());
        } catch (const SystemError& e) {
            errno = e.error;
            PyErr_SetFromErrno(PyExc_OSError);
        }
    });

    py::class_<File>(m, "File", R"(A registered file, open for transfers to and from device memory.

File(path_or_fd, mode="r"): a path (str, bytes, os.PathLike) is opened with
O_DIRECT, and the file owns and closes the descriptor; mode is "r", "r+", "w",
"w+", "x" or "x+", as for open().  A descriptor (int) must have been opened
with O_DIRECT and stays the caller's: it must stay open while the File is,
and mode is not used.  close(), or leaving a with block, releases the
registration and the descriptor the File opened; it waits for transfers still
running through the file, and refuses while a batch request names it.)")
        .def(py::init<py::handle, const std::string&>(), py::arg("path_or_fd"), py::arg("mode") = "r")
        .def("read", [](File& f, py::handle d, py::handle s, py::handle fo, py::handle dof) {
                 return f.Transfer(false, false, d, s, fo, dof);
             }, py::arg("device"), py::arg("size"), py::arg("file_offset") = 0, py::arg("device_offset") = 0,
             "Reads size bytes at file_offset into device memory at device + device_offset; returns the "
             "bytes moved (fewer at the end of the file).  Error(TRANSFER_FAILED) when the transfer failed.")
        .def("write", [](File& f, py::handle d, py::handle s, py::handle fo, py::handle dof) {
                 return f.Transfer(true, false, d, s, fo, dof);
             }, py::arg("device"), py::arg("size"), py::arg("file_offset") = 0, py::arg("device_offset") = 0,
             "Writes size bytes of device memory at device + device_offset to the file at file_offset; "
             "returns the bytes moved.  Error(TRANSFER_FAILED) when the transfer failed.")
        .def("read_exact", [](File& f, py::handle d, py::handle s, py::handle fo, py::handle dof) {
                 return f.Transfer(false, true, d, s, fo, dof);
             }, py::arg("device"), py::arg("size"), py::arg("file_offset") = 0, py::arg("device_offset") = 0,
             "As read, repeated until all size bytes moved; Error(END_OF_FILE) when the file ends first, "
             "Error(TRANSFER_FAILED) when a transfer fails (Error.moved: the bytes moved before).")
        .def("write_exact", [](File& f, py::handle d, py::handle s, py::handle fo, py::handle dof) {
                 return f.Transfer(true, true, d, s, fo, dof);
             }, py::arg("device"), py::arg("size"), py::arg("file_offset") = 0, py::arg("device_offset") = 0,
             "As write, repeated until all size bytes moved; Error(END_OF_FILE) when a write moves nothing, "
             "Error(TRANSFER_FAILED) when one fails (Error.moved: the bytes moved before).")
        .def("size", &File::Size, "The file's size in bytes (fstat).")
        .def_property_readonly("fd", &File::Fd, "The file's descriptor.")
        .def_property_readonly("name", &File::Name, "The path the file was opened with, or None.")
        .def_property_readonly("closed", [](const File& f) { return f.closed; }, "True once closed.")
        .def("close", &File::Close, "Releases the registration and, if the File opened it, the descriptor.")
        .def("__enter__", [](py::object self) { return self; }, "Returns the file.")
        .def("__exit__", [](File& f, py::args) { f.Close(); }, "Closes the file.");

    py::class_<Batch>(m, "Batch", R"(A batch of asynchronous requests with max_requests slots.

submit() starts requests (dgfile.Request) and returns at once; poll() and
wait() collect their completions (dgfile.Completion), each carrying its
request's cookie.  A batch takes calls from one thread at a time, and one
batch is in flight at a time: collect every completion before the next
submit.  close(), or leaving a with block, waits for the requests still
running and drops completions not collected.)")
        .def(py::init<py::handle>(), py::arg("max_requests"))
        .def("submit", &Batch::Submit, py::arg("requests"),
             "Starts the requests (at most max_requests) as the new batch and returns without waiting.  "
             "Each request's cookie, file and device stay referenced until its completion is collected.")
        .def("poll", &Batch::Poll, py::arg("min_completions") = 1,
             "Waits for at least min_completions completions, or until none is left to collect; returns "
             "those ready as a list of Completion.")
        .def("wait", &Batch::Wait, "Collects every completion not collected yet.")
        .def("cancel", &Batch::Cancel,
             "Marks the batch's requests canceled: one not started moves nothing, one under way runs to "
             "its end.  Their completions are still to be collected.")
        .def_property_readonly("pending", &Batch::Pending, "Completions not collected yet.")
        .def_property_readonly("max_requests", &Batch::Capacity, "The number of request slots.")
        .def_property_readonly("closed", &Batch::Closed, "True once closed.")
        .def("close", &Batch::Close, "Waits for the requests still running and releases the batch.")
        .def("__enter__", [](py::object self) { return self; }, "Returns the batch.")
        .def("__exit__", [](Batch& b, py::args) { b.Close(); }, "Closes the batch.");

    py::class_<DeviceBuffer>(m, "DeviceBuffer", R"(Device memory of size bytes from the application GPU runtime.

For programs without a GPU array library of their own.  ptr is its device
address; a DeviceBuffer can be passed wherever a device address is taken.
copy_from() and copy_to() move bytes between it and host objects supporting
the buffer protocol.  close(), or leaving a with block, frees it; it waits for
transfers still using it, and refuses while a batch request names it.)")
        .def(py::init<py::handle>(), py::arg("size"))
        .def_property_readonly("ptr", &DeviceBuffer::Ptr, "The device address.")
        .def_property_readonly("size", &DeviceBuffer::Size, "The size in bytes.")
        .def_property_readonly("closed", [](const DeviceBuffer& b) { return b.closed; }, "True once freed.")
        .def("copy_from", [](DeviceBuffer& b, py::handle src, py::handle offset) { b.Copy(src, offset, true); },
             py::arg("src"), py::arg("offset") = 0,
             "Copies all bytes of src (a contiguous buffer) to the device at offset.")
        .def("copy_to", [](DeviceBuffer& b, py::handle dst, py::handle offset) { b.Copy(dst, offset, false); },
             py::arg("dst"), py::arg("offset") = 0,
             "Fills dst (a writable contiguous buffer) with the device bytes from offset on.")
        .def("close", &DeviceBuffer::Close, "Frees the device memory.")
        .def("__enter__", [](py::object self) { return self; }, "Returns the buffer.")
        .def("__exit__", [](DeviceBuffer& b, py::args) { b.Close(); }, "Frees the buffer.");

    m.def("load", &Load, py::arg("source"), py::arg("device"), py::kw_only(),
          py::arg("io_size") = std::size_t(1) << 20, py::arg("depth") = 8u, py::arg("offset") = 0,
          py::arg("size") = py::none(),
          "Reads size bytes (default: to the end of the file) from offset on into device memory, in "
          "requests of io_size bytes, depth at a time through a batch; returns the length that arrived "
          "whole from the start (less when the file ends first).  source is a path or a dgfile.File.");
}

// SPDX-License-Identifier: Apache-2.0
#include "device.h"

#include <algorithm>
#include <climits>
#include <memory>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include <dgrt.h>

#include "errors.h"

namespace dgfile_python {

DeviceBuffer::DeviceBuffer(py::handle size_arg) {
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

DeviceBuffer::~DeviceBuffer() {
    if (!closed) dgFree(ptr_);
}

std::uintptr_t DeviceBuffer::Ptr() const {
    CheckOpen("dgfile.DeviceBuffer");
    return reinterpret_cast<std::uintptr_t>(ptr_);
}

void DeviceBuffer::Copy(py::handle host, py::handle offset_arg, bool to_device) {
    const char* where = to_device ? "dgfile.DeviceBuffer.copy_from" : "dgfile.DeviceBuffer.copy_to";
    const char* name = to_device ? "src" : "dst";
    std::size_t offset = static_cast<std::size_t>(IntArg(offset_arg, "offset"));
    Py_buffer view;
    int flags = PyBUF_ANY_CONTIGUOUS | (to_device ? 0 : PyBUF_WRITABLE);
    if (PyObject_GetBuffer(host.ptr(), &view, flags) != 0) {
        PyErr_Clear();
        throw py::type_error(std::string(name) + " must be a " + (to_device ? "" : "writable ") +
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

void DeviceBuffer::Close() {
    if (BeginClose("dgfile.DeviceBuffer")) dgFree(ptr_);
}

namespace {

std::uintptr_t AddressOf(py::handle value, const std::string& name) {
    std::uintptr_t a = static_cast<std::uintptr_t>(IntArg(value, name, LLONG_MAX));
    if (a == 0) throw py::value_error(name + " is 0, a null device address");
    return a;
}

// An entry of an interface dictionary as stored (a dict subclass's own
// methods are never called), or a null object when absent.
py::object Entry(const py::object& dict, const char* key) {
    PyObject* v = PyDict_GetItemWithError(dict.ptr(), py::str(key).ptr());
    if (v == nullptr && PyErr_Occurred()) throw py::error_already_set();
    return py::reinterpret_borrow<py::object>(v);
}

// A copy of a tuple or list entry: user code run while its items are read
// (their __index__) cannot change it under the reader.
py::tuple Items(const py::object& value, const std::string& name, const char* what) {
    if (!PyTuple_Check(value.ptr()) && !PyList_Check(value.ptr()))
        throw py::type_error(name + " must be " + what + ", not " + TypeName(value));
    return py::reinterpret_steal<py::tuple>(PySequence_Tuple(value.ptr()));
}

// The item size in bytes of a typestr: a byte order (<, >, | or =), a kind
// whose size counts bytes (U counts 4-byte characters), and a positive
// decimal size, nothing else; 0 when the string is not one.
std::uint64_t ItemSize(const std::string& t) {
    if (t.size() < 3 || std::string_view("<>|=").find(t[0]) == std::string_view::npos ||
        std::string_view("biufcmMSUV").find(t[1]) == std::string_view::npos)
        return 0;
    std::uint64_t size = 0;
    for (std::size_t i = 2; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9' || __builtin_mul_overflow(size, 10, &size) ||
            __builtin_add_overflow(size, static_cast<std::uint64_t>(t[i] - '0'), &size))
            return 0;
    }
    if (t[1] == 'U' && __builtin_mul_overflow(size, 4, &size)) return 0;
    return size;
}

// The bytes of a __dg_array_interface__ dictionary's array: the product of
// its shape times the item size of its typestr (e.g. "<f4"), when both are
// given.  Strides, when not None, must be those of a C-contiguous array.
std::optional<std::uint64_t> InterfaceExtent(const py::object& dict, const std::string& name) {
    py::object typestr = Entry(dict, "typestr"), shape = Entry(dict, "shape");
    py::object strides = Entry(dict, "strides");
    std::uint64_t item = 0;
    if (typestr) {
        const std::string entry = name + "[\"typestr\"]";
        if (!PyUnicode_Check(typestr.ptr())) throw py::type_error(entry + " must be a str, not " + TypeName(typestr));
        Py_ssize_t length = 0;
        const char* text = PyUnicode_AsUTF8AndSize(typestr.ptr(), &length);
        if (text == nullptr) PyErr_Clear();  // not UTF-8 (a lone surrogate): not a typestr either
        item = text == nullptr ? 0 : ItemSize(std::string(text, static_cast<std::size_t>(length)));
        if (item == 0)
            throw py::value_error(entry + " must be a byte order (<, >, | or =), a kind (one of "
                                  "biufcmMSUV) and a positive item size, as \"<f4\", not " + Repr(typestr));
    }
    std::vector<std::uint64_t> dims;
    if (shape) {
        const std::string entry = name + "[\"shape\"]";
        py::tuple items = Items(shape, entry, "a tuple or list of ints");
        for (std::size_t i = 0; i < items.size(); ++i)
            dims.push_back(static_cast<std::uint64_t>(IntArg(items[i], entry + "[" + std::to_string(i) + "]")));
    }
    const bool contiguous = !strides || strides.is_none();
    if (!contiguous && (!typestr || !shape))
        throw py::value_error(name + ": \"strides\" needs \"shape\" and \"typestr\" to be checked");
    if (!typestr || !shape) return std::nullopt;
    const bool empty = std::find(dims.begin(), dims.end(), 0) != dims.end();
    std::uint64_t bytes = item;
    for (std::uint64_t dim : dims) {
        if (!empty && __builtin_mul_overflow(bytes, dim, &bytes))
            throw py::value_error(name + ": shape " + Repr(shape) + " of " + std::to_string(item) +
                                  "-byte items overflows 64 bits");
    }
    if (empty) return 0;
    if (!contiguous) {
        // Row-major: each dimension's stride is the bytes of one item of the
        // next; a dimension of 1 takes any stride.
        py::tuple given = Items(strides, name + "[\"strides\"]", "None or a tuple or list of ints");
        bool same = given.size() == dims.size();
        std::uint64_t expected = item;
        for (std::size_t i = dims.size(); same && i-- > 0;) {
            py::handle s = given[i];
            if (!PyLong_Check(s.ptr()) || PyBool_Check(s.ptr()))
                throw py::type_error(name + "[\"strides\"][" + std::to_string(i) + "] must be an int, not " +
                                     TypeName(s));
            int overflow = 0;
            long long v = PyLong_AsLongLongAndOverflow(s.ptr(), &overflow);
            same = dims[i] == 1 || (overflow == 0 && v >= 0 && static_cast<std::uint64_t>(v) == expected);
            expected *= dims[i];  // no overflow: bounded by the product checked above
        }
        if (!same)
            throw py::value_error(name + " describes a non-contiguous array (strides " + Repr(strides) +
                                  " for shape " + Repr(shape) + "); only C-contiguous memory is taken");
    }
    return bytes;
}

// obj's attribute `name`, or no object when it has none.  Unlike hasattr,
// an exception other than AttributeError (a property that refuses, say for
// a closed buffer) is raised, not taken for a missing attribute; and the
// attribute is read once.
py::object Attribute(py::handle obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

// The address, and what else a __dg_array_interface__ dictionary says.
void FromInterface(const py::object& dict, const std::string& n, bool receives, Device& d) {
    const std::string name = n + ".__dg_array_interface__";
    py::object data = PyDict_Check(dict.ptr()) ? Entry(dict, "data") : py::object();
    if (!data)
        throw py::type_error(name + " must be a dict with a \"data\" entry" +
                             (PyDict_Check(dict.ptr()) ? std::string() : ", not " + TypeName(dict)));
    const std::string entry = name + "[\"data\"]";
    bool read_only = false;
    if (PyTuple_Check(data.ptr()) && PyTuple_GET_SIZE(data.ptr()) == 2) {
        py::handle flag = PyTuple_GET_ITEM(data.ptr(), 1);
        if (!PyBool_Check(flag.ptr()))
            throw py::type_error(entry + "[1] must be a bool, not " + TypeName(flag));
        read_only = flag.ptr() == Py_True;
        d.address = reinterpret_cast<void*>(AddressOf(PyTuple_GET_ITEM(data.ptr(), 0), entry + "[0]"));
    } else if (PyIndex_Check(data.ptr()) && !PyBool_Check(data.ptr())) {
        d.address = reinterpret_cast<void*>(AddressOf(data, entry));
    } else {
        throw py::type_error(entry + " must be an int address or a tuple (address, read_only), not " +
                             (PyTuple_Check(data.ptr()) ? "a tuple of " + std::to_string(PyTuple_GET_SIZE(data.ptr()))
                                                        : TypeName(data)));
    }
    if (read_only && receives)
        throw py::value_error(n + " is read-only device memory; a read cannot put bytes there");
    d.extent = InterfaceExtent(dict, name);
}

}  // namespace

// A DeviceBuffer, an int, an object with an int attribute `ptr`, a method
// data_ptr() returning an int, or a __dg_array_interface__ dictionary.
// User code run here (a property, data_ptr(), __index__) may close what an
// earlier argument named: callers check that again before they use it.
Device DeviceArg(py::handle obj, const char* name, std::uint64_t offset, std::uint64_t size,
                 bool receives) {
    Device d = DeviceOf(obj, name, receives);
    CheckRange(d, name, offset, size);
    return d;
}

Device DeviceOf(py::handle obj, const char* name, bool receives) {
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
    } else if (py::object ptr = Attribute(obj, "ptr")) {
        d.address = reinterpret_cast<void*>(AddressOf(ptr, n + ".ptr"));
    } else if (py::object method = Attribute(obj, "data_ptr")) {
        if (!PyCallable_Check(method.ptr()))
            throw py::type_error(n + ".data_ptr must be a method returning the address, not " + TypeName(method));
        d.address = reinterpret_cast<void*>(AddressOf(method(), n + ".data_ptr()"));
    } else if (py::object dict = Attribute(obj, "__dg_array_interface__")) {
        FromInterface(dict, n, receives, d);
    } else {
        throw py::type_error(n + " must be a device address (int) or an object exposing one "
                             "(dgfile.DeviceBuffer, an int attribute ptr, a method data_ptr(), a "
                             "__dg_array_interface__ dict), not " + TypeName(obj));
    }
    return d;
}

void CheckRange(const Device& d, const char* name, std::uint64_t offset, std::uint64_t size) {
    if (d.extent && (offset > *d.extent || size > *d.extent - offset))
        throw py::value_error(std::string(name) + ": offset " + std::to_string(offset) + " + size " +
                              std::to_string(size) + " run past its " + std::to_string(*d.extent) +
                              " bytes");
}

void DefineDeviceBuffer(py::module_& m) {
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
}

}  // namespace dgfile_python

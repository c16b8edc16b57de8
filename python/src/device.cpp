// SPDX-License-Identifier: Apache-2.0
#include "device.h"

#include <climits>
#include <memory>
#include <stdexcept>
#include <string>

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

}  // namespace

// A DeviceBuffer, an int, an object with an int attribute `ptr`, a method
// data_ptr() returning an int, or a __dg_array_interface__ dictionary whose
// "data" is (address, read_only) or an address.
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

// SPDX-License-Identifier: Apache-2.0
#include "file.h"

#include <fcntl.h>

#include <cerrno>
#include <climits>

#include "device.h"
#include "errors.h"

namespace dgfile_python {

namespace {

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

}  // namespace

File::File(py::handle path_or_fd, const std::string& mode) {
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

std::size_t File::Transfer(bool write, bool exact, py::handle device, py::handle size_arg,
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

std::uint64_t File::Size() {
    Use use(*this, "dgfile.File");
    std::error_code ec;
    std::uint64_t n = f_.size(ec);
    if (ec) Raise(ec, "dgfile.File.size");
    return n;
}

int File::Fd() const {
    CheckOpen("dgfile.File");
    return f_.fd();
}

void File::Close() {
    if (!BeginClose("dgfile.File")) return;
    py::gil_scoped_release nogil;
    f_ = dgfile::file();
}

void DefineFile(py::module_& m) {
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
}

}  // namespace dgfile_python

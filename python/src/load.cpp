// SPDX-License-Identifier: Apache-2.0
#include "load.h"

#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>

#include <dgfile.hpp>

#include "device.h"
#include "errors.h"
#include "file.h"

namespace dgfile_python {

namespace {

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

void DefineLoad(py::module_& m) {
    m.def("load", &Load, py::arg("source"), py::arg("device"), py::kw_only(),
          py::arg("io_size") = std::size_t(1) << 20, py::arg("depth") = 8u, py::arg("offset") = 0,
          py::arg("size") = py::none(),
          "Reads size bytes (default: to the end of the file) from offset on into device memory, in "
          "requests of io_size bytes, depth at a time through a batch; returns the length that arrived "
          "whole from the start (less when the file ends first or the driver reported a short transfer).  "
          "source is a path or a dgfile.File.");
}

}  // namespace dgfile_python

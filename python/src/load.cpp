// SPDX-License-Identifier: Apache-2.0
#include "load.h"

#include <Python.h>

#include <chrono>
#include <climits>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include <dgfile.hpp>

#include "device.h"
#include "errors.h"
#include "file.h"

namespace dgfile_python {

namespace {

using Clock = std::chrono::steady_clock;

// How often the calling thread looks for a pending signal while the lanes
// run, and how often at most it calls the progress callable.
constexpr std::chrono::milliseconds kCheckEvery{50};
constexpr std::chrono::milliseconds kReportEvery{100};

// The calling thread's part while the lanes run, through dgfile.hpp's
// progress hook: it runs Python's signal handlers (Ctrl-C raises
// KeyboardInterrupt there) and the caller's progress callable.  An exception
// of either stops the lanes, which finish their chunk and are joined before
// it leaves the call.  Both need the interpreter lock, taken for a moment
// each time; the lanes never need it.
class Watch {
public:
    Watch(py::handle progress, const Closable* file, const Closable* buffer)
        : progress_(progress), file_(file), buffer_(buffer) {}

    bool operator()(std::uint64_t done, std::uint64_t total) {
        py::gil_scoped_acquire gil;
        CallingOut marked(file_, buffer_);
        if (PyErr_CheckSignals() != 0) throw py::error_already_set();
        const Clock::time_point now = Clock::now();
        if (!progress_.is_none() && now - reported_ >= kReportEvery) {
            reported_ = now;
            progress_(done, total);
        }
        return true;
    }

private:
    py::handle progress_;
    const Closable* file_;
    const Closable* buffer_;
    Clock::time_point reported_ = Clock::now();
};

// The file to move through: a File as given, or one opened here from a path
// (for reading, or created or emptied for writing) and closed on return.
File& FileArg(py::handle obj, const char* name, bool write, std::optional<File>& opened) {
    if (py::isinstance<File>(obj)) return obj.cast<File&>();
    if (py::isinstance<py::str>(obj) || py::isinstance<py::bytes>(obj) || py::hasattr(obj, "__fspath__"))
        return opened.emplace(obj, write ? "w" : "r");
    throw py::type_error(std::string(name) + " must be a path (str, bytes, os.PathLike) or a dgfile.File, not " +
                         TypeName(obj));
}

std::size_t Move(bool write, py::handle file_arg, py::handle device, py::handle offset_arg,
                 py::handle size_arg, py::handle chunk_arg, py::handle lanes_arg, py::handle progress) {
    const char* where = write ? "dgfile.store" : "dgfile.load";
    const char* file_name = write ? "dest" : "source";
    const std::size_t chunk = static_cast<std::size_t>(IntArg(chunk_arg, "chunk_size"));
    const unsigned lanes = static_cast<unsigned>(IntArg(lanes_arg, "lanes", UINT_MAX));
    if (chunk == 0) throw py::value_error("chunk_size must be positive");
    if (lanes == 0) throw py::value_error("lanes must be positive");
    if (!progress.is_none() && !PyCallable_Check(progress.ptr()))
        throw py::type_error("progress must be callable, not " + TypeName(progress));
    const long long offset = IntArg(offset_arg, "offset");
    Device d = DeviceOf(device, "device", !write);
    // Every argument is checked before a path to write is opened: opening
    // it empties the file.
    std::optional<long long> size;
    if (!size_arg.is_none()) {
        size = IntArg(size_arg, "size", kMaxOffset - offset);
    } else if (write) {
        if (!d.extent)
            throw py::value_error("size must be given: device has no known extent to store");
        if (*d.extent > static_cast<std::uint64_t>(kMaxOffset - offset))
            throw py::value_error("device's extent is too large to store at offset " + std::to_string(offset));
        size = static_cast<long long>(*d.extent);
    }
    if (size) CheckRange(d, "device", 0, static_cast<std::uint64_t>(*size));
    std::optional<File> opened;
    File& f = FileArg(file_arg, file_name, write, opened);
    if (!size) {  // a load to the end of the file
        const std::uint64_t file_size = f.Size();
        size = file_size > static_cast<std::uint64_t>(offset) ? static_cast<long long>(file_size) - offset : 0;
        CheckRange(d, "device", 0, static_cast<std::uint64_t>(*size));
    }
    Use use(f, "dgfile.File");
    Use buffer_use = d.buffer ? Use(*d.buffer, "dgfile.DeviceBuffer") : Use();

    dgfile::load_options o{chunk, lanes};
    Watch watch(progress, &f, d.buffer);
    // A range of one chunk is one transfer: no thread, nothing to watch.
    if (!progress.is_none() || static_cast<std::uint64_t>(*size) > chunk) {
        o.progress = [&watch](std::uint64_t done, std::uint64_t total) { return watch(done, total); };
        o.progress_interval = kCheckEvery;
    }
    std::error_code ec;
    std::size_t n;
    {
        py::gil_scoped_release nogil;
        const auto bytes = static_cast<std::size_t>(*size);
        const auto at = static_cast<off_t>(offset);
        n = write ? dgfile::store(f.Native(), d.address, bytes, at, o, ec)
                  : dgfile::load(f.Native(), d.address, bytes, at, o, ec);
    }
    if (ec) Raise(ec, where, n);
    return n;
}

}  // namespace

void DefineLoad(py::module_& m) {
    struct Form {
        const char* name;
        const char* file;  // the file argument's name
        bool write;
        const char* doc;
    };
    const Form forms[] = {
        {"load", "source", false,
         "Reads size bytes (default: to the end of the file) from offset on into device memory with lanes "
         "threads at once, each taking the next chunk_size bytes; returns the length that arrived whole from "
         "the start (less when the file ends first).  source is a path or a dgfile.File.  progress, if "
         "given, is called on this thread with (bytes done, total) about every 100 ms; an exception it "
         "raises, or Ctrl-C, stops the lanes after their chunk and is raised.  Error(TRANSFER_FAILED) when "
         "a transfer failed, with moved the length that arrived whole before it."},
        {"store", "dest", true,
         "Writes size bytes of device memory (default: the device argument's extent) into dest from offset "
         "on, with lanes as load does; returns the length written whole from the start.  dest is a path, "
         "created or emptied, or a dgfile.File open for writing.  Error(END_OF_FILE) when a write moved "
         "nothing, Error(TRANSFER_FAILED) when one failed, with moved the length written whole before it; "
         "progress and Ctrl-C as for load."},
    };
    for (const Form& form : forms)
        m.def(form.name,
              [write = form.write](py::handle file, py::handle device, py::handle offset, py::handle size,
                                   py::handle chunk_size, py::handle lanes, py::handle progress) {
                  return Move(write, file, device, offset, size, chunk_size, lanes, progress);
              },
              py::arg(form.file), py::arg("device"), py::kw_only(), py::arg("offset") = 0,
              py::arg("size") = py::none(), py::arg("chunk_size") = std::size_t(1) << 20,
              py::arg("lanes") = 8u, py::arg("progress") = py::none(), form.doc);
}

}  // namespace dgfile_python

// SPDX-License-Identifier: Apache-2.0
//
// File: a registered file (dgfile::file) opened from a path or wrapping a
// descriptor, its transfers, and its close, which waits for the transfers
// still running through it.
//
// Who calls it: batch.cpp and load.cpp use Native() for their requests;
// module.cpp defines the class.  Everything here runs with the interpreter
// lock held, except open(2), the transfers and the release of the
// registration, made without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <dgfile.hpp>
#include <pybind11/pybind11.h>

#include "closable.h"

namespace dgfile_python {

namespace py = pybind11;

class File : public Closable {
public:
    File(py::handle path_or_fd, const std::string& mode);
    ~File() = default;  // a File dropped without close(): f_ deregisters and closes
    File(const File&) = delete;
    File& operator=(const File&) = delete;

    // read/write and their exact forms; see the docstrings in file.cpp.
    std::size_t Transfer(bool write, bool exact, py::handle device, py::handle size_arg,
                         py::handle file_offset_arg, py::handle device_offset_arg);
    std::uint64_t Size();
    int Fd() const;
    py::object Name() const { return name_; }
    void Close();

    const dgfile::file& Native() const { return f_; }

private:
    dgfile::file f_;
    py::object name_ = py::none();  // the path it was opened with, if any
};

void DefineFile(py::module_& m);

}  // namespace dgfile_python

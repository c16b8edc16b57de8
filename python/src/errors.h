// SPDX-License-Identifier: Apache-2.0
//
// What a failure becomes in Python, and the status codes' names
// (dgfile.Status, made from dgfile.hpp's errc_names, their one list).  A
// failed call of the library is thrown as StatusError and raised as
// dgfile.Error; a failed system call of this layer without a path to name as
// SystemError, raised as OSError; a bad argument as pybind11's type_error or
// value_error, with a message naming the argument, before anything reaches
// the C library.
//
// Who calls it: every unit of the binding; module.cpp defines Status and
// registers the translator.  Everything here runs with the interpreter lock held.
#pragma once

#include <climits>
#include <cstddef>
#include <string>
#include <system_error>

#include <pybind11/pybind11.h>

namespace dgfile_python {

namespace py = pybind11;

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

// A class of the package's pure-Python part (dgfile/_types.py), looked up
// once by the caller and kept for the life of the process: interpreter
// shutdown must not release it after the module is gone.
py::handle PackageClass(const char* name);

// Throws what `ec` becomes in Python: StatusError for the library's
// category, SystemError for any other.
[[noreturn]] void Raise(const std::error_code& ec, const char* where, std::size_t moved = 0);

std::string TypeName(py::handle h);
std::string Repr(py::handle h);

constexpr long long kMaxOffset = LLONG_MAX;  // off_t and ssize_t bound every size

// A non-negative integer argument (an int or any object with __index__, but
// not a bool) of at most `max`.
long long IntArg(py::handle h, const std::string& name, long long max = kMaxOffset);

// Defines Status (from dgfile::errc_names) and registers the translation of
// StatusError and SystemError.
void DefineErrors(py::module_& m);

}  // namespace dgfile_python

// SPDX-License-Identifier: Apache-2.0
//
// dgfile.load: a file, or a range of it, into device memory through
// dgfile::load, from a path (opened and closed here) or a File.
//
// Who calls it: module.cpp defines the function.  Threads: it checks its
// arguments with the interpreter lock held and loads without it.
#pragma once

#include <pybind11/pybind11.h>

namespace dgfile_python {

void DefineLoad(pybind11::module_& m);

}  // namespace dgfile_python

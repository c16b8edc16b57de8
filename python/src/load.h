// SPDX-License-Identifier: Apache-2.0
//
// dgfile.load and dgfile.store: a file, or a range of it, between the file
// and device memory through dgfile::load and dgfile::store (lanes), from a
// path (opened and closed here) or a File.
//
// Who calls it: module.cpp defines the functions.  Threads: they check their
// arguments with the interpreter lock held and move the bytes without it;
// the calling thread takes it back for a moment every 50 ms to run signal
// handlers and the progress callable while the lanes run.
#pragma once

#include <pybind11/pybind11.h>

namespace dgfile_python {

void DefineLoad(pybind11::module_& m);

}  // namespace dgfile_python

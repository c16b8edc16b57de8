// SPDX-License-Identifier: Apache-2.0
//
// Batch: dgfile::batch with any Python object as a cookie.  The C++ batch
// carries an index into the batch's table of slots; a slot keeps the
// request's cookie, file and device object alive, and the file and device
// buffer counted as named by a batch request, until its completion is
// collected.
//
// Who calls it: module.cpp defines the class.  Threads: everything but the
// library calls (made without it) runs with the interpreter lock held, which
// guards the slots and the one-call-at-a-time flag.
#pragma once

#include <pybind11/pybind11.h>

namespace dgfile_python {

void DefineBatch(pybind11::module_& m);

}  // namespace dgfile_python

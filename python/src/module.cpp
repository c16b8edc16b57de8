// SPDX-License-Identifier: Apache-2.0
//
// _dgfile: the compiled part of the Python package dgfile, a thin binding of
// dgfile.hpp (files, batches, the loader) and of the application runtime
// (device buffers).  What it adds is what only Python needs:
//  - argument checks that name the argument (TypeError, ValueError) before
//    anything reaches the C library;
//  - dgfile.Error for every failed call (the status as dgfile.Status), and
//    OSError for a failed open(2);
//  - the buffer protocol for copies between host objects and device memory;
//  - the interpreter lock released around every call that may block or move
//    data, re-taken before any Python object is touched;
//  - any Python object as a batch cookie.
// One unit per concern: errors (failures and argument checks), closable
// (what close() waits for, fork generations), device (device memory and device arguments),
// file, batch, load (the loader); this one defines the module.
//
// Who calls it: dgfile/__init__.py imports it once the GPU runtime (or the
// simulated platform) is loaded; users reach it through the package.
#include <pybind11/pybind11.h>

#include "batch.h"
#include "closable.h"
#include "device.h"
#include "errors.h"
#include "file.h"
#include "load.h"

PYBIND11_MODULE(_dgfile, m) {
    m.doc() = "The compiled part of dgfile; use the package dgfile, which re-exports it.";
    dgfile_python::StartForkGenerations();
    dgfile_python::DefineErrors(m);
    dgfile_python::DefineFile(m);
    dgfile_python::DefineBatch(m);
    dgfile_python::DefineDeviceBuffer(m);
    dgfile_python::DefineLoad(m);
}

// SPDX-License-Identifier: Apache-2.0
//
// Device memory: DeviceBuffer (memory of the application runtime, dgMalloc)
// and DeviceArg, which takes a device address and what is known of its
// extent from any device argument (see "Device memory" in docs/python.md).
//
// Who calls it: file.cpp, batch.cpp and load.cpp take device arguments
// through DeviceArg; module.cpp defines the class.  Everything here runs with
// the interpreter lock held, except the runtime calls, made without it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>

#include <pybind11/pybind11.h>

#include "closable.h"

namespace dgfile_python {

namespace py = pybind11;

// Device memory from the application runtime (dgMalloc), freed by close().
class DeviceBuffer : public Closable {
public:
    explicit DeviceBuffer(py::handle size_arg);
    ~DeviceBuffer();
    DeviceBuffer(const DeviceBuffer&) = delete;
    DeviceBuffer& operator=(const DeviceBuffer&) = delete;

    std::uintptr_t Ptr() const;
    std::size_t Size() const { return size_; }
    void* Raw() const { return ptr_; }

    // Copies between a host buffer and [offset, offset + its length).
    void Copy(py::handle host, py::handle offset_arg, bool to_device);
    void Close();

private:
    void* ptr_ = nullptr;
    std::size_t size_ = 0;
};

// A device address taken from an argument, with what is known of its extent.
struct Device {
    void* address = nullptr;
    std::optional<std::uint64_t> extent;  // bytes from address on, when known
    DeviceBuffer* buffer = nullptr;       // the DeviceBuffer it came from, if any
};

// The device memory the argument `obj` names: `size` bytes from `offset` on
// must lie inside what is known of its extent; a read into it (`receives`)
// needs it writable.
Device DeviceArg(py::handle obj, const char* name, std::uint64_t offset, std::uint64_t size,
                 bool receives);
// The same in two steps, for a caller whose size follows from the extent:
// DeviceOf takes the address and extent, CheckRange the range against it.
Device DeviceOf(py::handle obj, const char* name, bool receives);
void CheckRange(const Device& d, const char* name, std::uint64_t offset, std::uint64_t size);

void DefineDeviceBuffer(py::module_& m);

}  // namespace dgfile_python

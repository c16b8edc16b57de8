// SPDX-License-Identifier: Apache-2.0
#include "gpu_platform.h"

#include <dlfcn.h>

#include <atomic>

// A weak reference: the copy call comes from whatever GPU runtime the
// application has loaded, and no needed library provides it.  When nothing
// does, the reference is null instead of the process being stopped by the
// dynamic linker.
extern "C" int dgMemcpy(void* dst, const void* src, std::size_t count, _dgMemcpyKind kind)
    __attribute__((weak));

copy_fn runtime_copy() {
    if (&dgMemcpy != nullptr) return &dgMemcpy;
    // Second chance for a runtime loaded after this library (dlopen with
    // RTLD_GLOBAL): the weak reference was settled at load time.
    static std::atomic<copy_fn> late{nullptr};
    copy_fn found = late.load(std::memory_order_acquire);
    if (found == nullptr) {
        found = reinterpret_cast<copy_fn>(::dlsym(RTLD_DEFAULT, "dgMemcpy"));
        if (found != nullptr) late.store(found, std::memory_order_release);
    }
    return found;
}

// SPDX-License-Identifier: Apache-2.0
// The GPU runtime (which file, and whether it has the pointer query), the
// application runtime (whether it loads and the library finds its copy call
// in it), and the GPUs that runtime reports.
#include <dlfcn.h>

#include <cstdint>

#include "doctor_checks.h"
#include "gpu_platform.h"  // the library's own lookup of the copy call
#include "qrv_platform.h"
#include "sim_control.h"
#include "units.h"

namespace doctor {
namespace {

constexpr const char* kGpuRuntime = QRV_RUNTIME_SONAME;
constexpr const char* kAppRuntime = DGRT_SONAME;

using count_fn = int (*)(int*);
using set_device_fn = int (*)(int);
using malloc_fn = int (*)(void**, size_t);
using free_fn = int (*)(void*);

std::string DlError() {
    const char* error = ::dlerror();
    return error != nullptr ? error : "unknown error";
}

// The largest single allocation that succeeds on the current device, to a
// page: doubling, then halving the gap.  Nothing is touched, so this costs
// only the allocation calls.
uint64_t LargestAllocation(malloc_fn alloc, free_fn release) {
    constexpr uint64_t kPage = 4096;
    constexpr uint64_t kCeiling = uint64_t{1} << 50;
    auto fits = [&](uint64_t size) {
        void* p = nullptr;
        if (alloc(&p, static_cast<size_t>(size)) != 0 || p == nullptr) return false;
        release(p);
        return true;
    };
    uint64_t good = 0;
    uint64_t bad = kPage;
    while (bad <= kCeiling && fits(bad)) good = bad, bad *= 2;
    if (bad > kCeiling) return good;
    while (bad - good > kPage) {
        uint64_t middle = (good + (bad - good) / 2) / kPage * kPage;
        if (middle <= good) middle = good + kPage;
        (fits(middle) ? good : bad) = middle;
    }
    return good;
}

// The GPU runtime is a needed library of libdgfile (and of this program): it
// is loaded already, and the loader tells which file it came from.  Returns
// the directory of that file ("" when there is none), ending in "/".
std::string CheckGpuRuntime(Report& report) {
    Finding f("gpu_runtime", std::string("GPU runtime ") + kGpuRuntime);
    void* handle = ::dlopen(kGpuRuntime, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) handle = ::dlopen(kGpuRuntime, RTLD_LAZY);
    if (handle == nullptr) {
        f.status = Status::Fail;
        f.text = "not found: " + DlError();
        f.details["path"] = nullptr;
        report.Add(std::move(f));
        return std::string();
    }
    const std::string path = simctl::LoadedLibrary(kGpuRuntime);
    const bool query = ::dlvsym(handle, "qrv_vendor_pointer_info", "QRV_1") != nullptr;
    const bool simulated = ::dlsym(handle, "qrv_sim_device_count") != nullptr;
    ::dlclose(handle);
    report.facts.pointer_query = query;
    f.details["path"] = path;
    f.details["simulated"] = simulated;
    f.details["pointer_query"] = query;
    f.status = query ? Status::Ok : Status::Fail;
    f.text = path + (simulated ? " (the simulated platform's)" : "") +
             (query ? "" : ": lacks qrv_vendor_pointer_info@QRV_1, so no direct transfer");
    report.Add(std::move(f));
    return path.substr(0, path.rfind('/') + 1);
}

// The file the copy call the library binds to comes from, or "".
std::string CopyCallFile(copy_fn copy) {
    Dl_info where{};
    if (copy == nullptr || ::dladdr(reinterpret_cast<void*>(copy), &where) == 0 ||
        where.dli_fname == nullptr)
        return std::string();
    return where.dli_fname;
}

// Loads the application runtime as an application would, globally, so that
// the library's own binding of the copy call can find it.  Where the
// loader's search path has none, the one installed beside the GPU runtime
// (the two come together) is what an application links.  Returns its
// handle, null when it does not load.
void* CheckAppRuntime(Report& report, const std::string& gpu_runtime_dir) {
    Finding f("app_runtime", std::string("application runtime ") + kAppRuntime);
    void* app = ::dlopen(kAppRuntime, RTLD_NOW | RTLD_GLOBAL);
    const std::string search_error = app == nullptr ? DlError() : std::string();
    bool beside = false;
    if (app == nullptr && !gpu_runtime_dir.empty()) {
        app = ::dlopen((gpu_runtime_dir + kAppRuntime).c_str(), RTLD_NOW | RTLD_GLOBAL);
        beside = app != nullptr;
    }
    if (app == nullptr) {
        f.status = Status::Fail;
        f.text = "cannot be loaded (" + search_error +
                 "): the CPU copy needs dgMemcpy from the runtime the application loads";
        f.details["path"] = nullptr;
        f.details["copy_call"] = nullptr;
        report.Add(std::move(f));
        return nullptr;
    }
    const std::string path = simctl::LoadedLibrary(kAppRuntime);
    const copy_fn copy = runtime_copy();  // exactly the library's lookup
    report.facts.copy_call = copy != nullptr;
    f.details["path"] = path;
    f.details["copy_call"] = copy != nullptr;
    f.details["copy_call_from"] = TextOrNull(CopyCallFile(copy));
    f.details["beside_gpu_runtime"] = beside;
    f.status = copy != nullptr ? Status::Ok : Status::Fail;
    f.text = path + (beside ? " (beside the GPU runtime; not on the loader's search path)" : "") +
             (copy != nullptr ? "; the library finds its dgMemcpy"
                              : ": the library finds no dgMemcpy in it");
    report.Add(std::move(f));
    return app;  // stays loaded until the process ends
}

Finding GpuFinding(int index, set_device_fn set_device, malloc_fn alloc, free_fn release) {
    Finding f("gpu", "GPU " + std::to_string(index));
    f.details["index"] = index;
    if (set_device == nullptr || alloc == nullptr || release == nullptr || set_device(index) != 0) {
        f.status = Status::Warn;
        f.text = "cannot be selected for allocation: memory unknown";
        f.details["largest_allocation"] = nullptr;
        return f;
    }
    const uint64_t bytes = LargestAllocation(alloc, release);
    f.details["largest_allocation"] = bytes;
    f.status = bytes > 0 ? Status::Ok : Status::Warn;
    f.text = bytes > 0 ? dgbench::FormatSize(bytes) + " (" + std::to_string(bytes) +
                             " bytes) in the largest allocation that succeeds"
                       : "no allocation succeeds";
    return f;
}

// The GPUs the application runtime `app` (null when none loads) reports.
void CheckGpus(Report& report, void* app) {
    auto find = [app](const char* name) { return app != nullptr ? ::dlsym(app, name) : nullptr; };
    auto count = reinterpret_cast<count_fn>(find("dgGetDeviceCount"));
    Finding gpus("gpus", "GPUs");
    if (count == nullptr) {
        gpus.status = Status::Info;
        gpus.text = "unknown: no application runtime to ask";
        gpus.details["count"] = nullptr;
        report.Add(std::move(gpus));
        return;
    }
    int n = 0;
    const int status = count(&n);
    if (status != 0) n = 0;
    report.facts.gpu_count = n;
    gpus.details["count"] = n;
    gpus.status = n > 0 ? Status::Ok : Status::Fail;
    gpus.text = n > 0 ? std::to_string(n) + " (from dgGetDeviceCount)"
                : status != 0 ? "none: dgGetDeviceCount fails with status " + std::to_string(status)
                              : "none";
    report.Add(std::move(gpus));
    const auto set_device = reinterpret_cast<set_device_fn>(find("dgSetDevice"));
    const auto alloc = reinterpret_cast<malloc_fn>(find("dgMalloc"));
    const auto release = reinterpret_cast<free_fn>(find("dgFree"));
    for (int i = 0; i < n; ++i) report.Add(GpuFinding(i, set_device, alloc, release));
}

}  // namespace

void CheckRuntimes(Report& report) {
    const std::string gpu_runtime_dir = CheckGpuRuntime(report);
    CheckGpus(report, CheckAppRuntime(report, gpu_runtime_dir));
}

}  // namespace doctor

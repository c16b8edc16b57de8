// SPDX-License-Identifier: Apache-2.0
// The GPU runtime (which file, and whether it has the pointer query), the
// application runtime (whether it loads and the library finds its copy call
// in it), and the GPUs that runtime reports.
#include <dlfcn.h>
#include <link.h>  // Dl_serinfo

#include <cstddef>
#include <cstdint>
#include <vector>

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

// The directories the loader searches for a library named without a slash,
// in its order: LD_LIBRARY_PATH's, this program's run path, the system's.
// Its cache, which it reads before the system's directories, is kLoaderCache.
std::vector<std::string> SearchDirectories() {
    std::vector<std::string> dirs;
    void* self = ::dlopen(nullptr, RTLD_LAZY);
    Dl_serinfo size{};
    if (self == nullptr || ::dlinfo(self, RTLD_DI_SERINFOSIZE, &size) != 0) return dirs;
    std::vector<std::max_align_t> storage(size.dls_size / sizeof(std::max_align_t) + 1);
    auto* info = reinterpret_cast<Dl_serinfo*>(storage.data());
    *info = size;
    if (::dlinfo(self, RTLD_DI_SERINFO, info) != 0) return dirs;
    for (unsigned i = 0; i < info->dls_cnt; ++i) dirs.emplace_back(info->dls_serpath[i].dls_name);
    return dirs;
}

constexpr const char* kLoaderCache = "/etc/ld.so.cache";

// A runtime the loader does not load: why, and where it looked, in the text
// and the JSON details, so that the reader knows where to put it.
void NotLoaded(Finding& f, const std::string& error) {
    const std::vector<std::string> dirs = SearchDirectories();
    std::string where;
    for (const std::string& dir : dirs) where += (where.empty() ? "" : ", ") + dir;
    // The program never sets a locale, so the loader's message is the C
    // locale's, and ENOENT reads "No such file or directory".
    const bool absent = error.find("No such file") != std::string::npos;
    f.status = Status::Fail;
    f.text = (absent ? "not found" : "cannot be loaded: " + error) +
             "; the loader looked in its cache " + kLoaderCache +
             (where.empty() ? "" : " and in " + where);
    f.details["path"] = nullptr;
    f.details["found"] = false;
    f.details["searched"] = dirs;
    f.details["loader_cache"] = kLoaderCache;
    f.details["error"] = error;
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

// The GPU runtime is a needed library of libdgfile, loaded here as the
// loader would load it for an application (already loaded when simulating:
// the simulated platform is then in the process).  Returns the directory of
// its file ("" when there is none), ending in "/".
std::string CheckGpuRuntime(Report& report) {
    Finding f("gpu_runtime", std::string("GPU runtime ") + kGpuRuntime);
    void* handle = ::dlopen(kGpuRuntime, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) handle = ::dlopen(kGpuRuntime, RTLD_LAZY);
    if (handle == nullptr) {
        NotLoaded(f, DlError());
        report.Add(std::move(f));
        return std::string();
    }
    report.facts.gpu_runtime = true;
    const std::string path = simctl::LoadedLibrary(kGpuRuntime);
    const bool query = ::dlvsym(handle, "qrv_vendor_pointer_info", "QRV_1") != nullptr;
    const bool simulated = ::dlsym(handle, "qrv_sim_device_count") != nullptr;
    ::dlclose(handle);
    report.facts.pointer_query = query;
    f.details["path"] = path;
    f.details["found"] = true;
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
        NotLoaded(f, search_error);
        f.text += (gpu_runtime_dir.empty() ? "" : ", nor beside the GPU runtime") +
                  std::string("; the CPU copy needs dgMemcpy from the runtime the application loads");
        f.details["copy_call"] = nullptr;
        report.Add(std::move(f));
        return nullptr;
    }
    report.facts.app_runtime = true;
    const std::string path = simctl::LoadedLibrary(kAppRuntime);
    const copy_fn copy = runtime_copy();  // exactly the library's lookup
    report.facts.copy_call = copy != nullptr;
    f.details["path"] = path;
    f.details["found"] = true;
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

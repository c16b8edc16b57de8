// SPDX-License-Identifier: Apache-2.0
// libqrv-runtime64.so.1: the simulated GPUs, their memory, the allocation
// table and the pointer query.
#include <fcntl.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <map>
#include <mutex>
#include <new>
#include <string>
#include <unordered_map>
#include <vector>

#include "qrv_runtime.h"
#include "qrv_sim_private.h"
#include "sim_env.h"

namespace {

constexpr uint64_t kPage = 4096;
constexpr int kDefaultGpus = 1;
constexpr int kMaxGpus = 64;
constexpr uint64_t kDefaultMemSize = uint64_t{4} << 30;
constexpr uint64_t kMaxMemSize = uint64_t{1} << 40;
// Ids that are not device indices, so that a caller mixing the two is caught.
constexpr uint32_t kFirstGpuId = 1000;

struct Allocation {
    uint64_t handle;
    uint64_t size;      // as requested
    uint64_t reserved;  // size rounded up to pages, plus one unused guard page
};

// The device range, the view and the memfd are constant after set-up; the two
// maps are guarded by Platform::mutex.
struct Gpu {
    uint32_t id = 0;
    int memfd = -1;
    char* device = nullptr;
    char* view = nullptr;
    uint64_t size = 0;
    std::map<uint64_t, uint64_t> free_ranges;  // offset -> length, coalesced
    std::map<uint64_t, Allocation> live;       // offset -> allocation
};

struct Platform {
    std::mutex mutex;
    std::vector<Gpu> gpus;  // the vector itself is constant after set-up
    std::unordered_map<uint64_t, std::pair<int, uint64_t>> by_handle;  // -> (gpu, offset)
    uint64_t next_handle = 1;
};

bool MakeGpu(int index, uint64_t size, Gpu& gpu) {
    gpu.id = kFirstGpuId + static_cast<uint32_t>(index);
    gpu.size = size;
    std::string name = "qrv-sim-gpu" + std::to_string(index);
    gpu.memfd = ::memfd_create(name.c_str(), MFD_CLOEXEC);
    if (gpu.memfd < 0) return false;
    if (::ftruncate(gpu.memfd, static_cast<off_t>(size)) != 0) return false;
    void* device = ::mmap(nullptr, size, PROT_NONE, MAP_SHARED | MAP_NORESERVE, gpu.memfd, 0);
    if (device == MAP_FAILED) return false;
    gpu.device = static_cast<char*>(device);
    void* view = ::mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED | MAP_NORESERVE,
                        gpu.memfd, 0);
    if (view == MAP_FAILED) return false;
    gpu.view = static_cast<char*>(view);
    gpu.free_ranges.emplace(0, size);
    return true;
}

Platform* SetUp() {
    auto* p = new Platform;
    int count = kDefaultGpus;
    uint64_t size = kDefaultMemSize;
    if (const char* text = std::getenv("QRV_SIM_GPUS")) {
        uint64_t n = 0;
        if (sim_env::ParseSize(text, false, n) && n >= 1 && n <= kMaxGpus)
            count = static_cast<int>(n);
        else
            std::fprintf(stderr, "qrv-sim: ignoring QRV_SIM_GPUS=\"%s\" (expected 1 to %d)\n",
                         text, kMaxGpus);
    }
    if (const char* text = std::getenv("QRV_SIM_MEM_SIZE")) {
        uint64_t n = 0;
        if (sim_env::ParseSize(text, true, n) && n >= kPage && n <= kMaxMemSize)
            size = (n + kPage - 1) / kPage * kPage;
        else
            std::fprintf(stderr,
                         "qrv-sim: ignoring QRV_SIM_MEM_SIZE=\"%s\" (expected 4096 to 1T bytes,"
                         " optional suffix K, M, G or T)\n",
                         text);
    }
    p->gpus.reserve(static_cast<size_t>(count));
    for (int i = 0; i < count; ++i) {
        Gpu gpu;
        if (!MakeGpu(i, size, gpu)) {
            std::fprintf(stderr, "qrv-sim: cannot set up GPU %d: %s\n", i, std::strerror(errno));
            if (gpu.device != nullptr) ::munmap(gpu.device, size);
            if (gpu.memfd >= 0) ::close(gpu.memfd);
            break;
        }
        p->gpus.push_back(std::move(gpu));
    }
    return p;
}

// Set up on first use, in the process (or forked child) that uses it.  Never
// destroyed: other libraries may still call in from their own exit code.
Platform& GetPlatform() {
    static Platform* platform = SetUp();
    return *platform;
}

// Returns the GPU whose device range holds `address`, or null.
Gpu* GpuAt(Platform& p, uintptr_t address) {
    for (Gpu& gpu : p.gpus) {
        auto base = reinterpret_cast<uintptr_t>(gpu.device);
        if (address >= base && address - base < gpu.size) return &gpu;
    }
    return nullptr;
}

void Describe(const Gpu& gpu, int index, uint64_t offset, const Allocation& a,
              qrv_sim_allocation* out) {
    if (out == nullptr) return;
    out->gpu_id = gpu.id;
    out->device = index;
    out->handle = a.handle;
    out->device_base = gpu.device + offset;
    out->host_base = gpu.view + offset;
    out->size = a.size;
}

// Returns the live allocation of `gpu` holding `offset`, or live.end().
std::map<uint64_t, Allocation>::iterator Holding(Gpu& gpu, uint64_t offset) {
    auto it = gpu.live.upper_bound(offset);
    if (it == gpu.live.begin()) return gpu.live.end();
    --it;
    return offset - it->first < it->second.size ? it : gpu.live.end();
}

void ReturnRange(Gpu& gpu, uint64_t offset, uint64_t length) {
    auto next = gpu.free_ranges.lower_bound(offset);
    if (next != gpu.free_ranges.end() && offset + length == next->first) {
        length += next->second;
        next = gpu.free_ranges.erase(next);
    }
    if (next != gpu.free_ranges.begin()) {
        auto prev = std::prev(next);
        if (prev->first + prev->second == offset) {
            prev->second += length;
            return;
        }
    }
    gpu.free_ranges.emplace(offset, length);
}

}  // namespace

extern "C" {

int qrv_sim_device_count(void) {
    return static_cast<int>(GetPlatform().gpus.size());
}

uint32_t qrv_sim_gpu_id(int device) {
    Platform& p = GetPlatform();
    if (device < 0 || device >= static_cast<int>(p.gpus.size())) return 0;
    return p.gpus[static_cast<size_t>(device)].id;
}

int qrv_sim_find_by_handle(uint32_t gpu_id, uint64_t handle, qrv_sim_allocation* out) {
    Platform& p = GetPlatform();
    std::lock_guard lock(p.mutex);
    int index = -1;
    for (size_t i = 0; i < p.gpus.size(); ++i)
        if (p.gpus[i].id == gpu_id) index = static_cast<int>(i);
    if (index < 0) return ENODEV;
    auto found = p.by_handle.find(handle);
    if (found == p.by_handle.end() || found->second.first != index) return ENOENT;
    Gpu& gpu = p.gpus[static_cast<size_t>(index)];
    uint64_t offset = found->second.second;
    Describe(gpu, index, offset, gpu.live.at(offset), out);
    return 0;
}

int qrv_sim_classify(const void* ptr, size_t len, qrv_sim_allocation* out) {
    auto start = reinterpret_cast<uintptr_t>(ptr);
    uintptr_t last = 0;
    if (__builtin_add_overflow(start, (len == 0 ? 1 : len) - 1, &last)) return QRV_SIM_RANGE_INVALID;
    Platform& p = GetPlatform();
    std::lock_guard lock(p.mutex);
    for (size_t i = 0; i < p.gpus.size(); ++i) {
        Gpu& gpu = p.gpus[i];
        auto base = reinterpret_cast<uintptr_t>(gpu.device);
        uintptr_t end = base + gpu.size;  // exclusive
        if (last < base || start >= end) continue;
        if (start < base || last >= end) return QRV_SIM_RANGE_INVALID;
        uint64_t offset = start - base;
        auto it = Holding(gpu, offset);
        if (it == gpu.live.end() || last - base - it->first >= it->second.size)
            return QRV_SIM_RANGE_INVALID;
        Describe(gpu, static_cast<int>(i), it->first, it->second, out);
        return QRV_SIM_RANGE_DEVICE;
    }
    return QRV_SIM_RANGE_HOST;
}

int qrv_sim_alloc(int device, size_t size, void** ptr) {
    Platform& p = GetPlatform();
    if (device < 0 || device >= static_cast<int>(p.gpus.size())) return ENODEV;
    if (size == 0 || ptr == nullptr) return EINVAL;
    Gpu& gpu = p.gpus[static_cast<size_t>(device)];
    if (size > gpu.size) return ENOMEM;
    uint64_t reserved = (size + kPage - 1) / kPage * kPage + kPage;
    try {
        std::lock_guard lock(p.mutex);
        for (auto it = gpu.free_ranges.begin(); it != gpu.free_ranges.end(); ++it) {
            if (it->second < reserved) continue;
            uint64_t offset = it->first;
            uint64_t rest = it->second - reserved;
            // Reserve the map entries first so that a failed insert leaves
            // the tables as they were.
            uint64_t handle = p.next_handle;
            auto [slot, inserted] = gpu.live.emplace(offset, Allocation{handle, size, reserved});
            (void)inserted;
            try {
                p.by_handle.emplace(handle, std::make_pair(device, offset));
                if (rest != 0) gpu.free_ranges.emplace(offset + reserved, rest);
            } catch (...) {
                p.by_handle.erase(handle);
                gpu.live.erase(slot);
                throw;
            }
            gpu.free_ranges.erase(it);
            ++p.next_handle;
            *ptr = gpu.device + offset;
            return 0;
        }
    } catch (const std::bad_alloc&) {
    }
    return ENOMEM;
}

int qrv_sim_free(void* ptr) {
    Platform& p = GetPlatform();
    std::lock_guard lock(p.mutex);
    Gpu* gpu = GpuAt(p, reinterpret_cast<uintptr_t>(ptr));
    if (gpu == nullptr) return EINVAL;
    uint64_t offset = static_cast<uint64_t>(static_cast<char*>(ptr) - gpu->device);
    auto it = gpu->live.find(offset);
    if (it == gpu->live.end()) return EINVAL;
    Allocation a = it->second;
    // Give the pages back to the system; a later allocation reads zeros.
    ::fallocate(gpu->memfd, FALLOC_FL_PUNCH_HOLE | FALLOC_FL_KEEP_SIZE,
                static_cast<off_t>(offset), static_cast<off_t>(a.reserved));
    p.by_handle.erase(a.handle);
    gpu->live.erase(it);
    try {
        ReturnRange(*gpu, offset, a.reserved);
    } catch (const std::bad_alloc&) {
        // The range is lost to later allocations; the free itself stands.
    }
    return 0;
}

int qrv_vendor_pointer_info(const void* ptr, qrv_vendor_pointer_info_t* info, void* reserved1,
                            void* reserved2, void* reserved3) {
    if (info == nullptr || info->size != sizeof(qrv_vendor_pointer_info_t) ||
        reserved1 != nullptr || reserved2 != nullptr || reserved3 != nullptr)
        return QRV_STATUS_INVALID_ARGUMENT;
    qrv_sim_allocation a;
    if (qrv_sim_classify(ptr, 1, &a) != QRV_SIM_RANGE_DEVICE) return QRV_STATUS_INVALID_POINTER;
    info->type = QRV_EXT_POINTER_TYPE_QRV;
    info->agentBaseAddress = a.device_base;
    info->hostBaseAddress = nullptr;
    info->sizeInBytes = a.size;
    info->userData = nullptr;
    info->agentOwner.handle = a.handle;
    info->agentOwner.gpu_id = a.gpu_id;
    return QRV_STATUS_SUCCESS;
}

}  // extern "C"

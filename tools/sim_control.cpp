// SPDX-License-Identifier: Apache-2.0
#include "sim_control.h"

#include <dlfcn.h>
#include <link.h>

#include <climits>
#include <cstdlib>

namespace simctl {
namespace {

template <typename Fn>
Fn Find(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_DEFAULT, name));
}

}  // namespace

bool Present() { return Find<void*>("qrvd_sim_enabled") != nullptr; }

bool SetEnabled(bool on) {
    auto set = Find<void (*)(int)>("qrvd_sim_set_enabled");
    if (set == nullptr) return false;
    set(on ? 1 : 0);
    return Enabled();
}

bool EnableIfNoDevice() {
    auto enable = Find<int (*)()>("qrvd_sim_enable_if_no_device");
    return enable != nullptr && enable() != 0;
}

bool Enabled() {
    auto enabled = Find<int (*)()>("qrvd_sim_enabled");
    return enabled != nullptr && enabled() != 0;
}

bool GetCounters(qrvd_sim_counters* counters) {
    auto get = Find<void (*)(qrvd_sim_counters*)>("qrvd_sim_get_counters");
    if (get == nullptr) return false;
    get(counters);
    return true;
}

std::string LoadedLibrary(const char* soname) {
    void* handle = ::dlopen(soname, RTLD_LAZY | RTLD_NOLOAD);
    if (handle == nullptr) return std::string();
    struct link_map* map = nullptr;
    std::string path;
    if (::dlinfo(handle, RTLD_DI_LINKMAP, &map) == 0 && map != nullptr && map->l_name != nullptr) {
        char resolved[PATH_MAX];
        path = ::realpath(map->l_name, resolved) != nullptr ? resolved : map->l_name;
    }
    ::dlclose(handle);
    return path;
}

}  // namespace simctl

// SPDX-License-Identifier: Apache-2.0
// The driver stand-in's control calls, for the tools.  The tools never name
// the stand-in's library as needed: it is in the process only when it was
// linked in (the build tree's tools) or preloaded (the installed tools,
// asked to simulate; see launcher.c), and its calls are found by name.
//
// Which runtimes the process resolved: the GPU runtime and the application
// runtime, as files.
//
// Any thread.
#pragma once

#include <string>

// qrvd_sim.h of the simulated platform (not included here: the doctor uses
// the library's own declarations of the driver request, which that header
// would declare a second time).
struct qrvd_sim_counters;

namespace simctl {

// The stand-in is in this process.
bool Present();

// As qrvd_sim_set_enabled, qrvd_sim_enable_if_no_device, qrvd_sim_enabled
// and qrvd_sim_get_counters; without the stand-in nothing is simulated, the
// calls return false and change nothing.
bool SetEnabled(bool on);
bool EnableIfNoDevice();
bool Enabled();
bool GetCounters(qrvd_sim_counters* counters);

// The file (links resolved) that a loaded library of this soname came from;
// empty when no such library is loaded.
std::string LoadedLibrary(const char* soname);

}  // namespace simctl

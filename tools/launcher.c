/* SPDX-License-Identifier: Apache-2.0 */
/*
 * The installed dgfile-bench and dgfile-doctor (bin/): each starts the
 * program of its name in libexec/dgfile, either as it is or with the
 * simulated GPU platform loaded.
 *
 * The programs are linked as any application of libdgfile is: the GPU
 * runtime and the application runtime are whatever the loader finds on this
 * machine, the device node is the real driver's.  Nothing of the simulated
 * platform is named as needed or on a run path, so on a GPU machine no
 * simulated library can stand in for the system's.
 *
 * When simulation is asked for, the launcher starts the program with the
 * platform's three libraries preloaded from their own installed directory:
 * the driver stand-in (ahead of the C library, which it must be to answer
 * open() and ioctl() of the device node) and the two runtimes, which then
 * take the runtimes' names in that one process.  Simulation is asked for
 *   - dgfile-bench: by --sim on; by --sim auto (the default) when QRVD_SIM
 *     says on, or when it says nothing and there is no /dev/qrvd character
 *     device;
 *   - dgfile-doctor: by --sim or QRVD_SIM=1 (else it reports the machine as
 *     it is).
 * The program reads its own command line again and decides the rest (it
 * still needs the stand-in enabled); the launcher only makes sure the
 * stand-in is there when it will be needed.
 *
 * When it does not simulate, it first asks the loader which of the program's
 * libraries it cannot find (a machine without the GPU runtimes): rather than
 * let the program die of the loader's error, it names them and says how to
 * run on the simulated platform.
 *
 * A library this launcher has loaded ahead of the C library (a sanitizer's
 * runtime, which the same build puts first in the program too and which
 * must stay first) is preloaded first.
 *
 * Built once per tool with:
 *   LAUNCHER_TOOL         "dgfile-bench" or "dgfile-doctor"
 *   LAUNCHER_PROGRAM_DIR  the programs' directory, relative to the launcher's
 *   LAUNCHER_SIM_DIR      the simulated platform's directory, relative too
 */
#define _GNU_SOURCE /* dl_iterate_phdr */
#include <errno.h>
#include <fcntl.h>
#include <limits.h>
#include <link.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "qrv_platform.h" /* the runtimes' names, QRVD_SIM */
#include "qrvd_ioctl.h"   /* the device node's path */

#if !defined(LAUNCHER_TOOL) || !defined(LAUNCHER_PROGRAM_DIR) || !defined(LAUNCHER_SIM_DIR)
#error "LAUNCHER_TOOL, LAUNCHER_PROGRAM_DIR and LAUNCHER_SIM_DIR must be defined"
#endif

/* Exit status when the program cannot be started, as a shell reports it. */
#define EXIT_CANNOT_START 127
/* dgfile-bench's exit status for a failed set-up. */
#define EXIT_BENCH_SETUP 3
/* dgfile-doctor's exit status when nothing can move data. */
#define EXIT_DOCTOR_NOT_USABLE 1

static const char* const kSimLibraries[] = {QRVD_SIM_LIBRARY, QRV_RUNTIME_SONAME, DGRT_SONAME};

static int IsBench(void) { return strcmp(LAUNCHER_TOOL, "dgfile-bench") == 0; }

static int DevicePresent(void) {
    struct stat st;
    return stat(QRVD_DEVICE_PATH, &st) == 0 && S_ISCHR(st.st_mode);
}

/* dgfile-bench's --sim value (the last one given before "--"), or NULL. */
static const char* BenchSimOption(int argc, char** argv) {
    const char* mode = NULL;
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) break;
        if (strcmp(argv[i], "--sim") == 0 && i + 1 < argc) mode = argv[++i];
        else if (strncmp(argv[i], "--sim=", 6) == 0) mode = argv[i] + 6;
    }
    return mode;
}

static int DoctorSimOption(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) break;
        if (strcmp(argv[i], "--sim") == 0) return 1;
    }
    return 0;
}

/* 1 when the command line asks only for help or the version, which the
 * program prints the same on the simulated platform. */
static int AsksForHelp(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (strcmp(argv[i], "--") == 0) break;
        if (!strcmp(argv[i], "-h") || !strcmp(argv[i], "--help") || !strcmp(argv[i], "--version"))
            return 1;
    }
    return 0;
}

/* 1 when the program will simulate; *explicit is set when the command line
 * demands it outright (dgfile-bench --sim on).  A request for help counts,
 * so that a machine without the GPU runtimes still shows it. */
static int WantsSimulation(int argc, char** argv, int* explicit_on) {
    *explicit_on = 0;
    if (AsksForHelp(argc, argv)) return 1;
    if (!IsBench()) return DoctorSimOption(argc, argv) || qrvd_sim_env_force() == 1;
    const char* mode = BenchSimOption(argc, argv);
    if (mode != NULL && !strcasecmp(mode, "on")) {
        *explicit_on = 1;
        return 1;
    }
    if (mode != NULL && !strcasecmp(mode, "off")) return 0;
    int env = qrvd_sim_env_force();
    return env >= 0 ? env : !DevicePresent();
}

/* Appends `text` to the preload list `list` (size `size`), blank-separated;
 * 0 when it does not fit. */
static int Append(char* list, size_t size, const char* text) {
    size_t used = strlen(list);
    int n = snprintf(list + used, size - used, "%s%s", used > 0 ? " " : "", text);
    return n >= 0 && (size_t)n < size - used;
}

struct Ahead {
    char* list;
    size_t size;
    int ok;
    int done;
};

/* Collects the libraries loaded ahead of the C library, in load order. */
static int CollectAhead(struct dl_phdr_info* info, size_t size, void* data) {
    (void)size;
    struct Ahead* ahead = data;
    const char* name = info->dlpi_name;
    if (ahead->done || name == NULL || strchr(name, '/') == NULL) return 0;
    const char* base = strrchr(name, '/') + 1;
    if (strncmp(base, "libc.so", 7) == 0) {
        ahead->done = 1;
        return 0;
    }
    if (!Append(ahead->list, ahead->size, name)) ahead->ok = 0;
    return 0;
}

/* What a library of the GPU platform is, for the reader; "" for others. */
static const char* Role(const char* soname) {
    if (strcmp(soname, QRV_RUNTIME_SONAME) == 0) return " (the GPU runtime)";
    if (strcmp(soname, DGRT_SONAME) == 0) return " (the application runtime)";
    return "";
}

/* Adds to `missing` each library named "NAME => not found" in the loader's
 * trace `trace`, with its role, comma-separated. */
static void CollectMissing(char* trace, char* missing, size_t size) {
    for (char* line = strtok(trace, "\n"); line != NULL; line = strtok(NULL, "\n")) {
        char* arrow = strstr(line, " => not found");
        if (arrow == NULL) continue;
        *arrow = '\0';
        line += strspn(line, " \t");
        char item[PATH_MAX + 64];
        snprintf(item, sizeof item, "%s%s%s", missing[0] != '\0' ? ", " : "", line, Role(line));
        if (strlen(missing) + strlen(item) < size) strcat(missing, item);
    }
}

/* The libraries `program` needs that the loader does not find, in `missing`
 * ("" when it finds them all, or cannot be asked).  The loader's trace mode
 * maps the libraries and stops: no code of the program or of its libraries
 * runs, and the search is exactly the program's own (its run path too). */
static void MissingLibraries(const char* program, char* missing, size_t size) {
    missing[0] = '\0';
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return;
    pid_t pid = fork();
    if (pid == 0) {
        if (dup2(out[1], STDOUT_FILENO) < 0 || setenv("LD_TRACE_LOADED_OBJECTS", "1", 1) != 0)
            _exit(EXIT_CANNOT_START);
        char* const args[] = {(char*)program, NULL};
        execv(program, args);
        _exit(EXIT_CANNOT_START);
    }
    close(out[1]);
    char trace[16384];
    size_t used = 0;
    for (;;) { /* to the end, so that the loader never waits on a full pipe */
        char chunk[4096];
        ssize_t n = read(out[0], chunk, sizeof chunk);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        size_t keep = (size_t)n < sizeof trace - 1 - used ? (size_t)n : sizeof trace - 1 - used;
        memcpy(trace + used, chunk, keep);
        used += keep;
    }
    close(out[0]);
    trace[used] = '\0';
    int status = 0;
    if (pid > 0) {
        while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
        CollectMissing(trace, missing, size);
    }
}

/* The first of the simulated platform's libraries missing from `sim_dir`,
 * or NULL when it is installed there. */
static const char* MissingSimLibrary(const char* sim_dir) {
    for (size_t i = 0; i < sizeof kSimLibraries / sizeof kSimLibraries[0]; ++i) {
        char path[PATH_MAX];
        if (snprintf(path, sizeof path, "%s/%s", sim_dir, kSimLibraries[i]) >= (int)sizeof path ||
            access(path, R_OK) != 0)
            return kSimLibraries[i];
    }
    return NULL;
}

/* Sets LD_PRELOAD to what is already ahead of the C library, the simulated
 * platform's libraries from `sim_dir`, then the caller's own; 0 when that
 * cannot be expressed (a blank or colon in a name, too long a list). */
static int PreloadSimulation(const char* sim_dir) {
    char preload[4 * PATH_MAX + 4096] = "";
    struct Ahead ahead = {preload, sizeof preload, 1, 0};
    dl_iterate_phdr(CollectAhead, &ahead);
    int ok = ahead.ok && strpbrk(sim_dir, " :") == NULL;
    for (size_t i = 0; ok && i < sizeof kSimLibraries / sizeof kSimLibraries[0]; ++i) {
        char path[PATH_MAX];
        ok = snprintf(path, sizeof path, "%s/%s", sim_dir, kSimLibraries[i]) < (int)sizeof path &&
             Append(preload, sizeof preload, path);
    }
    const char* earlier = getenv("LD_PRELOAD");
    if (ok && earlier != NULL && *earlier != '\0') ok = Append(preload, sizeof preload, earlier);
    return ok && setenv("LD_PRELOAD", preload, 1) == 0;
}

/* The directory of this launcher, links resolved; 0 on failure. */
static int OwnDirectory(char* dir, size_t size) {
    char self[PATH_MAX];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) return 0;
    self[n] = '\0';
    char* slash = strrchr(self, '/');
    if (slash == NULL) return 0;
    *slash = '\0';
    return snprintf(dir, size, "%s", self) < (int)size;
}

int main(int argc, char** argv) {
    char dir[PATH_MAX], program[PATH_MAX], sim_dir[PATH_MAX];
    if (!OwnDirectory(dir, sizeof dir) ||
        snprintf(program, sizeof program, "%s/%s/%s", dir, LAUNCHER_PROGRAM_DIR, LAUNCHER_TOOL) >=
            (int)sizeof program ||
        snprintf(sim_dir, sizeof sim_dir, "%s/%s", dir, LAUNCHER_SIM_DIR) >= (int)sizeof sim_dir) {
        fprintf(stderr, "%s: cannot tell where it is installed\n", LAUNCHER_TOOL);
        return EXIT_CANNOT_START;
    }

    const char* sim_missing = MissingSimLibrary(sim_dir);
    int explicit_on = 0, simulating = 0;
    if (WantsSimulation(argc, argv, &explicit_on)) {
        simulating = sim_missing == NULL && PreloadSimulation(sim_dir);
        if (!simulating && explicit_on) {
            /* The program would only say that it cannot simulate. */
            if (sim_missing != NULL)
                fprintf(stderr, "%s: error: --sim on: the simulated GPU platform is not installed "
                                "(no %s in %s)\n", LAUNCHER_TOOL, sim_missing, sim_dir);
            else
                fprintf(stderr, "%s: error: --sim on: cannot preload the simulated GPU platform "
                                "from %s (a blank or colon in its name, or too long a list)\n",
                        LAUNCHER_TOOL, sim_dir);
            return EXIT_BENCH_SETUP;
        }
        /* Otherwise the program runs without it and reports what it finds. */
    }
    if (!simulating) {
        char missing[2048];
        MissingLibraries(program, missing, sizeof missing);
        if (missing[0] != '\0') {
            fprintf(stderr, "%s: error: cannot start: the loader does not find %s\n",
                    LAUNCHER_TOOL, missing);
            if (sim_missing == NULL)
                fprintf(stderr, "%s: dgfile-doctor says where it looked; %s runs on the simulated "
                                "GPU platform instead\n",
                        LAUNCHER_TOOL, IsBench() ? "--sim on" : "--sim");
            else
                fprintf(stderr, "%s: dgfile-doctor says where it looked; %s would run on the "
                                "simulated GPU platform, which is not installed (no %s in %s)\n",
                        LAUNCHER_TOOL, IsBench() ? "--sim on" : "--sim", sim_missing, sim_dir);
            return IsBench() ? EXIT_BENCH_SETUP : EXIT_DOCTOR_NOT_USABLE;
        }
    }

    execv(program, argv);
    fprintf(stderr, "%s: cannot start %s: %s\n", LAUNCHER_TOOL, program, strerror(errno));
    return EXIT_CANNOT_START;
}

// SPDX-License-Identifier: Apache-2.0
// The whole-file loader against the disk and against plain code, in one run
// on one file, on the simulated platform: fio (O_DIRECT, queue depth 1 and
// the best of several depths), a loop of dgFileRead, dgfile::load in C++
// and dgfile.load in Python, with the page cache dropped before each cold
// run; on the warm file, the loader's CPU copy against threads of plain
// pread + memcpy with the same lanes and chunks; the writes (fio, a loop of
// dgFileWrite, dgfile::store); and the host memory a CPU-copy load takes.
// Figures in MiB/s, medians of the rounds, with the ratios the loader is
// judged by.
//
// Usage: loader_bench [--quick] [--size SIZE] [--chunk SIZE] [--lanes N]
//                     [--rounds N] [DIRECTORY, default /var/tmp]
// SIZE takes K, M or G.  --quick: a 32 MiB file, one round, the page cache
// left alone (a smoke run; its figures mean little).  The file should lie on
// the disk to be judged: the first line names its device and file system.
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "dgfile.h"
#include "dgfile.hpp"
#include "dgrt.h"
#include "qrvd_sim.h"
#include "timing.h"

namespace {

constexpr std::size_t KiB = 1024, MiB = 1024 * KiB;

struct Args {
    bool quick = false;
    std::size_t size = 1024 * MiB;
    std::size_t chunk = 0;  // 0: the loader's default
    unsigned lanes = 0;     // 0: the loader's default
    int rounds = 3;
    std::string dir = "/var/tmp";
};

std::size_t ParseSize(const char* text) {
    char* end = nullptr;
    unsigned long long v = std::strtoull(text, &end, 10);
    switch (*end) {
        case 'G': case 'g': v <<= 10; [[fallthrough]];
        case 'M': case 'm': v <<= 10; [[fallthrough]];
        case 'K': case 'k': v <<= 10; break;
        default: break;
    }
    return static_cast<std::size_t>(v);
}

bool ParseArgs(int argc, char** argv, Args& a) {
    bool sized = false;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        bool has_value = i + 1 < argc;
        if (arg == "--quick") a.quick = true;
        else if (arg == "--size" && has_value) a.size = ParseSize(argv[++i]), sized = true;
        else if (arg == "--chunk" && has_value) a.chunk = ParseSize(argv[++i]);
        else if (arg == "--lanes" && has_value) a.lanes = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (arg == "--rounds" && has_value) a.rounds = std::atoi(argv[++i]);
        else if (arg.rfind("--", 0) == 0) return false;
        else a.dir = arg;
    }
    if (a.quick) {
        if (!sized) a.size = 32 * MiB;
        a.rounds = 1;
    }
    return a.size >= MiB && a.rounds >= 1;
}

// "/dev/vda (ext4)": the mount source and file system type of the file's
// device, from the mount table.
std::string WhereIs(const std::string& path) {
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) return "unknown";
    const std::string dev = std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev));
    std::ifstream in("/proc/self/mountinfo");
    for (std::string line; std::getline(in, line);) {
        std::istringstream f(line);
        std::string id, parent, majmin, word;
        f >> id >> parent >> majmin;
        if (majmin != dev) continue;
        while (f >> word && word != "-") {}
        std::string type, source;
        f >> type >> source;
        return source + " (" + type + ")";
    }
    return "device " + dev;
}

// Drops the page cache; the reason it cannot, otherwise.
std::string DropCaches() {
    ::sync();
    int fd = ::open("/proc/sys/vm/drop_caches", O_WRONLY | O_CLOEXEC);
    if (fd < 0) return std::strerror(errno);
    bool ok = ::write(fd, "3", 1) == 1;
    int e = errno;
    ::close(fd);
    return ok ? std::string() : std::strerror(e);
}

bool FullPread(int fd, char* buf, std::size_t len, off_t off) {
    while (len > 0) {
        ssize_t n = ::pread(fd, buf, len, off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return false;
        buf += n;
        len -= static_cast<std::size_t>(n);
        off += n;
    }
    return true;
}

// Reads the whole file through the page cache.
void Warm(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    std::vector<char> sink(8 * MiB);
    while (fd >= 0 && ::read(fd, sink.data(), sink.size()) > 0) {}
    if (fd >= 0) ::close(fd);
}

// A new file of `size` bytes in `dir`, under a name of its own (runs at the
// same time, the suite's smoke run among them, must not write each other's
// files); its path goes to *path.
bool MakeFile(const std::string& dir, const char* stem, std::size_t size, std::string* path) {
    *path = dir + "/" + stem + ".XXXXXX";
    int fd = ::mkostemp(path->data(), O_CLOEXEC);
    if (fd < 0) return false;
    std::vector<char> block(8 * MiB);
    for (std::size_t i = 0; i < block.size(); ++i) block[i] = static_cast<char>(i * 7 + i / 4096);
    bool ok = true;
    for (std::size_t off = 0; ok && off < size; off += block.size()) {
        std::size_t n = std::min(block.size(), size - off);
        ok = ::pwrite(fd, block.data(), n, static_cast<off_t>(off)) == static_cast<ssize_t>(n);
    }
    ok = ok && ::fsync(fd) == 0;
    ::close(fd);
    if (!ok) ::unlink(path->c_str());
    return ok;
}

// fio on the file with O_DIRECT and libaio: MiB/s, or NaN when fio is
// missing or failed.  Its terse output has the read KiB and milliseconds in
// fields 6 and 9, the write's in 47 and 50.
double Fio(const std::string& path, bool write, std::size_t bs, std::size_t size, unsigned depth) {
    std::string cmd = "fio --name=loader_bench --filename='" + path + "' --rw=" +
                      (write ? "write" : "read") + " --bs=" + std::to_string(bs) +
                      " --size=" + std::to_string(size) +
                      " --direct=1 --ioengine=libaio --iodepth=" + std::to_string(depth) +
                      " --output-format=terse 2>/dev/null";
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return NAN;
    std::string out;
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) out.append(buf, n);
    if (::pclose(p) != 0) return NAN;
    std::vector<std::string> fields;
    std::istringstream in(out.substr(0, out.find('\n')));
    for (std::string f; std::getline(in, f, ';');) fields.push_back(f);
    const std::size_t kb = write ? 46 : 5, ms = write ? 49 : 8;
    if (fields.size() <= ms) return NAN;
    double kib = std::atof(fields[kb].c_str()), msec = std::atof(fields[ms].c_str());
    return msec > 0 ? kib / 1024.0 / (msec / 1000.0) : NAN;
}

bool HaveFio() { return std::system("fio --version >/dev/null 2>&1") == 0; }

// Seconds of `fn`, which returns false when it did not move every byte.
double Timed(const std::function<bool()>& fn) {
    auto t0 = bench::Clock::now();
    if (!fn()) {
        std::fprintf(stderr, "loader_bench: a transfer came up short\n");
        std::exit(1);
    }
    return bench::SecondsSince(t0);
}

// A loop of dgFileRead or dgFileWrite of `chunk` bytes through one handle
// on an O_DIRECT descriptor of `path`.
bool CLoop(const std::string& path, bool write, void* dev, std::size_t size, std::size_t chunk) {
    int fd = ::open(path.c_str(), (write ? O_WRONLY : O_RDONLY) | O_DIRECT | O_CLOEXEC);
    if (fd < 0) return false;
    DGfileDescr_t d{};
    d.type = DG_FILE_HANDLE_TYPE_OPAQUE_FD;
    d.handle.fd = fd;
    DGfileHandle_t fh = nullptr;
    bool ok = dgFileHandleRegister(&fh, &d).err == DG_FILE_SUCCESS;
    for (std::size_t off = 0; ok && off < size; off += chunk) {
        std::size_t n = std::min(chunk, size - off);
        ssize_t got = write ? dgFileWrite(fh, dev, n, static_cast<off_t>(off), static_cast<off_t>(off))
                            : dgFileRead(fh, dev, n, static_cast<off_t>(off), static_cast<off_t>(off));
        ok = got == static_cast<ssize_t>(n);
    }
    dgFileHandleDeregister(fh);
    ::close(fd);
    return ok;
}

// What the loader's CPU copy does at best: `lanes` threads, each with a
// descriptor of its own and one reused host buffer, taking the next chunk
// from a shared cursor, pread into the buffer, memcpy into device memory
// (its host view).
bool PreadMemcpy(const std::string& path, void* dev, std::size_t size, std::size_t chunk,
                 unsigned lanes) {
    char* view = static_cast<char*>(qrvd_sim_host_view(dev, size));
    std::atomic<std::size_t> next{0};
    std::atomic<bool> ok{view != nullptr};
    std::vector<std::thread> threads;
    for (unsigned l = 0; l < lanes; ++l)
        threads.emplace_back([&] {
            int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
            std::vector<char> host(chunk);
            for (std::size_t off; fd >= 0 && ok && (off = next.fetch_add(chunk)) < size;) {
                std::size_t n = std::min(chunk, size - off);
                if (!FullPread(fd, host.data(), n, static_cast<off_t>(off))) ok = false;
                else std::memcpy(view + off, host.data(), n);
            }
            if (fd < 0) ok = false;
            else ::close(fd);
        });
    for (std::thread& t : threads) t.join();
    return ok;
}

std::string Status(const char* key) {
    std::ifstream in("/proc/self/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind(key, 0) == 0) return line.substr(std::strlen(key));
    return "";
}
double StatusMiB(const char* key) { return std::atof(Status(key).c_str()) / 1024.0; }

// The Python side: bench/loader_bench.py in a child interpreter, when the
// package is built; it prints the seconds of one load.
double PythonLoad(const std::string& path, std::size_t size, bool cold, std::size_t chunk,
                  unsigned lanes) {
#ifdef LOADER_BENCH_PYTHON
    std::string cmd = std::string("PYTHONPATH='") + LOADER_BENCH_PYTHONPATH +
                      "' QRVD_SIM=1 PYTHONDONTWRITEBYTECODE=1 '" + LOADER_BENCH_PYTHON + "' '" +
                      LOADER_BENCH_SCRIPT + "' '" + path + "' " + std::to_string(size) + " " +
                      (cold ? "cold" : "warm") + " " + std::to_string(chunk) + " " +
                      std::to_string(lanes);
    FILE* p = ::popen(cmd.c_str(), "r");
    if (p == nullptr) return NAN;
    char line[256] = {};
    double seconds = NAN;
    while (std::fgets(line, sizeof line, p) != nullptr)
        if (std::strncmp(line, "seconds ", 8) == 0) seconds = std::atof(line + 8);
    return ::pclose(p) == 0 ? seconds : NAN;
#else
    (void)path, (void)size, (void)cold, (void)chunk, (void)lanes;
    return NAN;
#endif
}

// One way of moving the file: its name and a run giving seconds (NaN: did
// not run).
struct Way {
    std::string name;
    std::function<double()> run;
    std::vector<double> mibs;  // one per round
    double Median() const { return bench::Median(mibs); }
};

// Runs every way once per round, starting each round one way later so
// that the machine's drift spreads over all of them; MiB/s per run.
void Rounds(std::vector<Way>& ways, int rounds, std::size_t size, const std::function<void()>& before) {
    for (int r = 0; r < rounds; ++r)
        for (std::size_t i = 0; i < ways.size(); ++i) {
            Way& w = ways[(i + static_cast<std::size_t>(r)) % ways.size()];
            before();
            double s = w.run();
            if (!std::isnan(s)) w.mibs.push_back(static_cast<double>(size) / MiB / s);
        }
}

void Print(const Way& w) {
    double m = w.Median();
    if (std::isnan(m)) std::printf("  %-58s        n/a\n", w.name.c_str());
    else std::printf("  %-58s %8.1f MiB/s\n", w.name.c_str(), m);
}

void Ratio(const char* what, double candidate, double baseline, double goal) {
    if (std::isnan(candidate) || std::isnan(baseline) || baseline <= 0)
        std::printf("  ratio %-52s   n/a\n", what);
    else if (goal > 0)
        std::printf("  ratio %-52s %6.3f   (goal >= %.2f)\n", what, candidate / baseline, goal);
    else
        std::printf("  ratio %-52s %6.3f\n", what, candidate / baseline);
}

}  // namespace

int main(int argc, char** argv) {
    Args a;
    if (!ParseArgs(argc, argv, a)) {
        std::fprintf(stderr, "usage: loader_bench [--quick] [--size SIZE] [--chunk SIZE] "
                             "[--lanes N] [--rounds N] [DIRECTORY]\n");
        return 2;
    }
    if (!qrvd_sim_enable_if_no_device()) {
        std::fprintf(stderr, "a real /dev/qrvd exists; this benchmark runs on the simulator only\n");
        return 2;
    }
    dgfile::load_options options;
    if (a.chunk != 0) options.chunk_size = a.chunk;
    if (a.lanes != 0) options.lanes = a.lanes;
    const std::size_t chunk = options.chunk_size;
    const unsigned lanes = options.lanes;

    std::string path, out_path;
    if (!MakeFile(a.dir, "dgfile-loader-bench", a.size, &path)) {
        std::perror(path.c_str());
        return 1;
    }
    if (!MakeFile(a.dir, "dgfile-loader-bench-out", a.size, &out_path)) {
        std::perror(out_path.c_str());
        ::unlink(path.c_str());
        return 1;
    }
    void* dev = nullptr;
    if (dgMalloc(&dev, a.size) != 0 || dgMemset(dev, 0, a.size) != 0) {
        std::fprintf(stderr, "cannot have %zu MiB of device memory\n", a.size / MiB);
        return 1;
    }
    const bool fio = HaveFio();
    std::string no_drop = a.quick ? "a smoke run leaves it alone" : DropCaches();
    std::printf("loader_bench: %s, %zu MiB, on %s; loader chunk %zu KiB, %u lanes; simulated "
                "platform; %d round%s, medians\n",
                path.c_str(), a.size / MiB, WhereIs(path).c_str(), chunk / KiB, lanes, a.rounds,
                a.rounds == 1 ? "" : "s");
    std::printf("page cache: %s\n", no_drop.empty()
                                        ? "dropped before each cold run (/proc/sys/vm/drop_caches)"
                                        : ("not dropped (" + no_drop + "): the cold figures are "
                                           "of a file the cache may partly hold").c_str());
    if (!fio) std::printf("fio: not installed (Debian: apt-get install fio); its lines read n/a\n");

    const std::vector<unsigned> depths = {1, 4, 8, 16, 32};
    auto fio_ways = [&](std::vector<Way>& ways, bool write, const std::string& file) {
        for (unsigned d : depths)
            ways.push_back({"fio " + std::string(write ? "write" : "read") + ", O_DIRECT, " +
                                std::to_string(chunk / KiB) + " KiB, queue depth " + std::to_string(d),
                            [&, d, write, file] {
                                if (!fio) return static_cast<double>(NAN);
                                double mibs = Fio(file, write, chunk, a.size, d);
                                return static_cast<double>(a.size) / MiB / mibs;
                            }, {}});
    };
    // The best of the fio depths; the index of its way.
    auto best = [&](const std::vector<Way>& ways) {
        std::size_t at = 0;
        for (std::size_t i = 1; i < depths.size(); ++i)
            if (ways[i].Median() > ways[at].Median()) at = i;
        return at;
    };
    dgfile::file in = dgfile::file::open(path, O_RDONLY);
    dgfile::file out = dgfile::file::open(out_path, O_WRONLY);
    auto load = [&] { return Timed([&] { return dgfile::load(in, dev, a.size, 0, options) == a.size; }); };

    // Host memory, first, before any transfer left buffers behind: the
    // device memory is all resident already (dgMemset), so the growth of the
    // peak resident size during a load is host memory.
    {
        Warm(path);
        const bool reset = [] {
            std::ofstream clear("/proc/self/clear_refs");
            return static_cast<bool>(clear << "5" << std::flush);
        }();
        const double before = StatusMiB("VmRSS:");
        qrvd_sim_set_fault(QRVD_SIM_FAULT_REFUSE, EIO, 1);
        load();
        qrvd_sim_clear_fault();
        std::printf("== host memory of a %zu MiB load, every chunk by the CPU copy\n", a.size / MiB);
        if (!reset)
            std::printf("  peak resident size not measured: /proc/self/clear_refs refused\n");
        else
            std::printf("  peak resident size grew by %.1f MiB (lanes x chunk: %.1f MiB)\n",
                        StatusMiB("VmHWM:") - before, static_cast<double>(lanes * chunk) / MiB);
    }

    for (bool cold : {true, false}) {
        std::vector<Way> ways;
        fio_ways(ways, false, path);
        ways.push_back({"dgFileRead loop, one handle", [&] {
                            return Timed([&] { return CLoop(path, false, dev, a.size, chunk); });
                        }, {}});
        ways.push_back({"dgfile::load (C++)", load, {}});
        ways.push_back({"dgfile.load (Python)", [&] { return PythonLoad(path, a.size, cold, chunk, lanes); }, {}});
        if (!cold) {
            ways.push_back({"pread + memcpy, " + std::to_string(lanes) + " threads", [&] {
                                return Timed([&] { return PreadMemcpy(path, dev, a.size, chunk, lanes); });
                            }, {}});
            ways.push_back({"dgfile::load (C++), every chunk by the CPU copy", [&] {
                                qrvd_sim_set_fault(QRVD_SIM_FAULT_REFUSE, EIO, 1);
                                double s = load();
                                qrvd_sim_clear_fault();
                                return s;
                            }, {}});
        }
        Rounds(ways, a.rounds, a.size, [&] {
            if (!cold) Warm(path);
            else if (no_drop.empty()) DropCaches();
        });
        std::printf("== %s file\n", cold ? "cold" : "warm");
        for (const Way& w : ways) Print(w);
        const std::size_t b = best(ways);
        const double loader = ways[depths.size() + 1].Median();
        const double python = ways[depths.size() + 2].Median();
        Ratio(("C++ loader / fio best (depth " + std::to_string(depths[b]) + ")").c_str(), loader,
              ways[b].Median(), cold ? 0.9 : 0.0);
        Ratio("Python loader / C++ loader", python, loader, 0.95);
        if (!cold)
            Ratio("C++ loader by the CPU copy / pread + memcpy", ways[depths.size() + 4].Median(),
                  ways[depths.size() + 3].Median(), 0.9);
    }

    {
        std::vector<Way> ways;
        fio_ways(ways, true, out_path);
        ways.push_back({"dgFileWrite loop, one handle", [&] {
                            return Timed([&] { return CLoop(out_path, true, dev, a.size, chunk); });
                        }, {}});
        ways.push_back({"dgfile::store (C++)", [&] {
                            return Timed([&] { return dgfile::store(out, dev, a.size, 0, options) == a.size; });
                        }, {}});
        Rounds(ways, a.rounds, a.size, [] {});
        std::printf("== writes (O_DIRECT over the allocated file %s)\n", out_path.c_str());
        for (const Way& w : ways) Print(w);
        const std::size_t b = best(ways);
        Ratio(("C++ store / fio best (depth " + std::to_string(depths[b]) + ")").c_str(),
              ways[depths.size() + 1].Median(), ways[b].Median(), 0.9);
        Ratio("dgFileWrite loop / fio best", ways[depths.size()].Median(), ways[b].Median(), 0.0);
    }

    in = dgfile::file();
    out = dgfile::file();
    dgFree(dev);
    ::unlink(path.c_str());
    ::unlink(out_path.c_str());
    return 0;
}

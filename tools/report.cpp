// SPDX-License-Identifier: Apache-2.0
#include "report.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>

#include <nlohmann/json.hpp>

#include "units.h"

namespace dgbench {

namespace {

using json = nlohmann::ordered_json;

std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
std::string Format(const char* format, ...) {
    char text[128];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    return text;
}

std::string Count(const std::optional<std::uint64_t>& v) {
    return v ? std::to_string(*v) : "n/a";
}

const char* VerifyWord(const RunResult& r) {
    if (!r.verified) return "off";
    if (!r.check.ok()) return "MISMATCH";
    return r.check.bytes_checked == r.bytes ? "ok" : "partial";
}

const char* PathMeaning(TransferPath p) {
    switch (p) {
        case TransferPath::Cpu: return "CPU copy only";
        case TransferPath::Direct: return "driver only, no CPU fallback";
        default: return "driver, falling back to the CPU copy";
    }
}

json Optional(const std::optional<std::uint64_t>& v) { return v ? json(*v) : json(nullptr); }

json CheckJson(const CheckResult& check) {
    json first = nullptr;
    if (check.first) {
        const Mismatch& m = *check.first;
        first = {{"offset", m.offset},
                 {"expected", m.expected},
                 {"found", m.found},
                 {"belongs_at", Optional(m.belongs_at)}};
    }
    return {{"bytes_checked", check.bytes_checked},
            {"mismatched_bytes", check.bad_bytes},
            {"first_mismatch", first}};
}

// One note line of a check: "N bytes checked WHAT: all match" or how many
// differ and the first.
std::string CheckNote(const std::string& name, const char* kind, const CheckResult& check,
                      const std::string& what) {
    std::string outcome = check.ok() ? std::string("all match")
                                     : std::to_string(check.bad_bytes) + " differ, the first at " +
                                           Describe(*check.first);
    return name + ": " + kind + ": " + std::to_string(check.bytes_checked) + " bytes checked " + what +
           ": " + outcome + "\n";
}

json RunJson(const RunResult& r) {
    const RunConfig& c = r.config;
    json run;
    run["name"] = r.name;
    run["workload"] = Name(c.workload);
    run["path"] = Name(c.path);
    run["file"] = c.file;
    run["offset"] = r.offset;
    run["size"] = r.size;
    run["io_size"] = c.io_size;
    run["access"] = c.random ? "random" : "sequential";
    run["seed"] = c.seed;
    run["threads"] = c.threads;
    run["shared_handle"] = c.shared_handle;
    run["batch_depth"] = c.batch_depth;
    run["bytes"] = r.bytes;
    run["ios"] = r.ios;
    run["seconds"] = r.seconds;
    run["gib_per_s"] = r.GiBps();
    run["mib_per_s"] = r.MiBps();
    run["iops"] = r.Iops();
    run["latency_us"] = !r.latency_known ? json(nullptr)
                                         : json{{"mean", r.latency.mean_us},
                                                {"p50", r.latency.p50_us},
                                                {"p99", r.latency.p99_us},
                                                {"max", r.latency.max_us}};
    run["direct"] = Optional(r.direct);
    run["fallback"] = Optional(r.fallback);
    run["verify"] = r.verified ? CheckJson(r.check) : json(nullptr);
    run["pattern_check"] = r.pattern ? CheckJson(*r.pattern) : json(nullptr);
    run["error"] = r.ok() ? json(nullptr) : json{{"code", r.error_code}, {"message", r.error}};
    return run;
}

}  // namespace

std::string DescribeDriver(const DriverInfo& d) {
    std::string text;
    if (d.simulated) text = "driver: simulated (" + d.reason + ")";
    else if (d.device_node) text = "driver: /dev/qrvd (" + d.reason + ")";
    else text = "driver: none (" + d.reason + "; no /dev/qrvd, so transfers take the CPU fallback)";
    auto file = [](const std::string& path) { return path.empty() ? std::string("not loaded") : path; };
    return text + "\nruntimes: GPU " + file(d.gpu_runtime) + ", application " + file(d.app_runtime);
}

std::string DescribeRun(const RunResult& r) {
    const RunConfig& c = r.config;
    std::string text = r.name + ": " + Name(c.workload) + " " + c.file + ", " + FormatSize(r.size);
    if (r.last_io != 0) text += " (" + std::to_string(r.size) + " bytes)";
    text += " from offset " + std::to_string(r.offset);
    if (c.size == 0) text += " to the end of the file";
    if (ByLoader(c.workload)) {
        text += std::string(", one call of dgfile::") + Name(c.workload) + ", chunks of " +
                FormatSize(c.io_size) + ", " + std::to_string(c.threads) +
                (c.threads == 1 ? " lane" : " lanes");
    } else {
        text += ", I/O size " + FormatSize(c.io_size);
        if (r.last_io != 0) text += ", the last I/O " + std::to_string(r.last_io) + " bytes";
        text += std::string(", ") + (c.random ? "random" : "sequential") + ", " +
                std::to_string(c.threads) + (c.threads == 1 ? " thread" : " threads");
        if (c.threads > 1) text += c.shared_handle ? " sharing one file handle" : " with a file handle each";
        text += c.batch_depth > 0 ? ", batches of " + std::to_string(c.batch_depth)
                                  : std::string(", one call per I/O");
    }
    text += std::string(", path ") + Name(c.path) + " (" + PathMeaning(c.path) + ")";
    return text;
}

std::string FormatTable(const Report& report) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"run", "bytes", "seconds", "GiB/s", "MiB/s", "IOPS", "mean_us", "p50_us",
                    "p99_us", "max_us", "direct", "fallback", "verify"});
    for (const RunResult& r : report.runs) {
        auto us = [&](double v) { return r.latency_known ? Format("%.1f", v) : std::string("n/a"); };
        rows.push_back({r.name, std::to_string(r.bytes), Format("%.6f", r.seconds),
                        Format("%.3f", r.GiBps()), Format("%.1f", r.MiBps()),
                        Format("%.0f", r.Iops()), us(r.latency.mean_us), us(r.latency.p50_us),
                        us(r.latency.p99_us), us(r.latency.max_us), Count(r.direct),
                        Count(r.fallback), VerifyWord(r)});
    }
    std::vector<std::size_t> width(rows[0].size(), 0);
    for (const auto& row : rows)
        for (std::size_t i = 0; i < row.size(); ++i) width[i] = std::max(width[i], row[i].size());
    std::string out;
    for (const auto& row : rows) {
        std::string line;
        for (std::size_t i = 0; i < row.size(); ++i) {
            if (i > 0) line += "  ";
            // The run name left-aligned, figures right-aligned.
            std::string pad(width[i] - row[i].size(), ' ');
            line += i == 0 ? row[i] + pad : pad + row[i];
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        out += line + "\n";
    }
    bool notes = false;
    for (const RunResult& r : report.runs) notes = notes || r.verified || !r.ok();
    if (notes) out += "\n";
    for (const RunResult& r : report.runs) {
        if (r.verified)
            out += CheckNote(r.name, "verify", r.check,
                             Reads(r.config.workload) ? "against the file"
                                                                 : "read back against the data written");
        if (r.pattern)
            out += CheckNote(r.name, "pattern check of the file", *r.pattern,
                             "against the offset pattern written in this run");
        if (!r.ok() && r.error_code != kExitMismatch && r.error_code != kExitPattern)
            out += r.name + ": error: " + r.error + "\n";
    }
    return out;
}

std::string FormatJson(const Report& report) {
    json runs = json::array();
    for (const RunResult& r : report.runs) runs.push_back(RunJson(r));
    json out;
    out["tool"] = "dgfile-bench";
    out["version"] = report.version;
    auto path = [](const std::string& p) { return p.empty() ? json(nullptr) : json(p); };
    out["driver"] = {{"simulated", report.driver.simulated},
                     {"device_node", report.driver.device_node},
                     {"reason", report.driver.reason},
                     {"gpu_runtime", path(report.driver.gpu_runtime)},
                     {"app_runtime", path(report.driver.app_runtime)}};
    out["runs"] = std::move(runs);
    out["exit_code"] = report.exit_code;
    return out.dump(2) + "\n";
}

}  // namespace dgbench

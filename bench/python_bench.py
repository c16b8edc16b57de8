#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""What the Python package costs over C, in one run on the simulated platform,
on one file read through the page cache (registered with O_DIRECT, which is
then dropped, as transfer_bench does), so that the disk's noise stays out:
 1. a 4 KiB dgfile.File.read against dgFileRead called from C on the same file
    (target: at most 1.5 us added per call);
 2. four Python threads reading 1 MiB blocks with File.read against four C
    threads doing the same (target: at least 0.9 of their throughput).
Candidate and baseline alternate round by round; medians are kept.

    QRVD_SIM=1 python_bench.py BASELINE_LIBRARY [--quick] [DIRECTORY, default /var/tmp]

BASELINE_LIBRARY is libdgfile_python_bench_baseline.so of the build (the C
side).  --quick runs every path briefly (a smoke run; its figures mean little)."""
import ctypes
import fcntl
import os
import statistics
import sys
import threading
import time

import dgfile

KiB, MiB = 1024, 1024 * 1024


def alternate(rounds, candidate, baseline):
    c, b = [], []
    for r in range(rounds):
        for fn, out in ((candidate, c), (baseline, b)) if r % 2 == 0 else ((baseline, b), (candidate, c)):
            out.append(fn(r))
    return statistics.median(c), statistics.median(b)


def main():
    args = [a for a in sys.argv[1:] if a != "--quick"]
    quick = "--quick" in sys.argv
    lib = ctypes.CDLL(args[0])
    lib.bench_register.restype = ctypes.c_void_p
    lib.bench_reads.restype = lib.bench_threads.restype = ctypes.c_double
    lib.bench_reads.argtypes = [ctypes.c_void_p, ctypes.c_void_p] + [ctypes.c_size_t] * 4
    lib.bench_threads.argtypes = [ctypes.c_void_p, ctypes.c_void_p, ctypes.c_size_t, ctypes.c_int,
                                  ctypes.c_size_t]
    directory = args[1] if len(args) > 1 else "/var/tmp"
    file_size = 16 * MiB if quick else 256 * MiB
    path = os.path.join(directory, "dgfile-python-bench.dat")
    block = bytes(range(256)) * (4 * KiB)
    with open(path, "wb") as out:
        for _ in range(file_size // len(block)):
            out.write(block)
    f = dgfile.File(path)
    handle = lib.bench_register(f.fd)
    fcntl.fcntl(f.fd, fcntl.F_SETFL, fcntl.fcntl(f.fd, fcntl.F_GETFL) & ~os.O_DIRECT)
    with open(path, "rb") as warm:
        while warm.read(8 * MiB):
            pass
    gpu = dgfile.DeviceBuffer(4 * MiB)
    print(f"file {path}, {file_size // MiB} MiB in the page cache; "
          f"{'simulated' if dgfile.simulated else 'real'} GPU platform; Python {sys.version.split()[0]}")

    calls, slots = (50 if quick else 2000), file_size // (4 * KiB)

    def python_reads(r):
        t0 = time.perf_counter()
        for i in range(r * calls, (r + 1) * calls):
            f.read(gpu, 4096, i % slots * 4096)
        return (time.perf_counter() - t0) / calls

    def c_reads(r):
        return lib.bench_reads(handle, gpu.ptr, 4096, r * calls + slots // 2, calls, slots) / calls

    py, c = alternate(3 if quick else 41, python_reads, c_reads)
    print("== 4 KiB read (candidate: dgfile.File.read from Python; baseline: dgFileRead from C)")
    print(f"4 KiB read   Python {py * 1e6:8.2f} us   C {c * 1e6:8.2f} us   "
          f"added {(py - c) * 1e6:+.2f} us/call (target: at most +1.50)")

    def python_threads(_):
        def reader(t):
            for off in range(t * MiB, file_size, 4 * MiB):
                f.read(gpu.ptr + t * MiB, MiB, off)
        pool = [threading.Thread(target=reader, args=(t,)) for t in range(4)]
        t0 = time.perf_counter()
        for t in pool:
            t.start()
        for t in pool:
            t.join()
        return time.perf_counter() - t0

    def c_threads(_):
        return lib.bench_threads(handle, gpu.ptr, MiB, 4, file_size)

    py, c = alternate(3 if quick else 21, python_threads, c_threads)
    gib = file_size / 2**30
    print("== 4 threads, 1 MiB reads (candidate: Python threads with File.read; baseline: C threads "
          "with dgFileRead)")
    print(f"4 threads    Python {gib / py:8.3f} GiB/s   C {gib / c:8.3f} GiB/s   "
          f"ratio {c / py:.3f} (target: at least 0.900)")
    lib.bench_deregister(handle)
    gpu.close()
    f.close()
    os.unlink(path)


if __name__ == "__main__":
    main()

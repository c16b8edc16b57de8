#!/usr/bin/env python3
# SPDX-License-Identifier: Apache-2.0
"""The Python side of loader_bench: one dgfile.load of a file into fresh
device memory, timed, in a child interpreter that loader_bench starts.

    QRVD_SIM=1 loader_bench.py PATH SIZE cold|warm CHUNK LANES

The device memory is touched first, as loader_bench's own is; "cold" then
drops the page cache (as root) just before the load.  Prints "seconds S"."""
import os
import sys
import time

import dgfile


def main():
    path, size, mode, chunk, lanes = sys.argv[1], int(sys.argv[2]), sys.argv[3], int(sys.argv[4]), int(sys.argv[5])
    gpu = dgfile.DeviceBuffer(size)
    zeros = bytes(64 << 20)
    for off in range(0, size, len(zeros)):
        gpu.copy_from(zeros[:min(len(zeros), size - off)], off)
    if mode == "cold":
        os.sync()
        try:
            with open("/proc/sys/vm/drop_caches", "w") as drop:
                drop.write("3")
        except OSError:
            pass  # loader_bench says whether the cache can be dropped
    t0 = time.perf_counter()
    n = dgfile.load(path, gpu, chunk_size=chunk, lanes=lanes)
    seconds = time.perf_counter() - t0
    if n != size:
        sys.exit(f"dgfile.load moved {n} of {size} bytes")
    print(f"seconds {seconds:.6f}")


if __name__ == "__main__":
    main()
